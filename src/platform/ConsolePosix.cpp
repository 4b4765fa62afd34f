#include <unistd.h>

#include "platform/Console.h"

std::vector<std::string> ArgumentsUtf8(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }
