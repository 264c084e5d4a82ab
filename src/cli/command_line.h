#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qv5 {

// The start-up banner: two fixed lines, three informative ones and an empty line.
void printBanner();

// Reads the flags, selects and runs one command. Returns the exit status: 0 when the
// command ran to its end, 1 on every failure. args: the program's name and its arguments,
// UTF-8.
int32_t runCommandLine(std::vector<std::string> args);

} // namespace qv5
