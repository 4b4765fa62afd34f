// The command line and the terminal, the same way on every system.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The program's arguments as UTF-8 (Windows reads the wide command line).
std::vector<std::string> ArgumentsUtf8(int argc, char** argv);
// Windows: makes the console show UTF-8 output, and standard output binary,
// so that the bytes written are the bytes that arrive (each output format
// puts its own line ends; text mode would add a CR before every LF).
// Nothing elsewhere.
void PrepareConsole();
bool IsTerminal(std::FILE* stream);
