// The command line and the terminal, the same way on every system.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The program's arguments as UTF-8 (Windows reads the wide command line).
std::vector<std::string> ArgumentsUtf8(int argc, char** argv);
// Makes the console show UTF-8 output (Windows); nothing elsewhere.
void PrepareConsole();
bool IsTerminal(std::FILE* stream);
