#pragma once
#include <cstdint>

namespace qv5 {

// The start-up banner: two fixed lines, three informative ones and an empty line.
void printBanner();

// Reads the flags, selects and runs one command. Returns the exit status: 0 when the
// command ran to its end, 1 on every failure.
int32_t runCommandLine(int argc, char** argv);

} // namespace qv5
