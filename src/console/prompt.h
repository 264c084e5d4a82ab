#pragma once
#include <cstdio>

namespace qv5 {

// Reads one answer from standard input: one character, 'A'-'Z' lowered, the rest of the
// line discarded. EOF when the input is closed, '\n' for Enter alone.
int readAnswer();

// Answers come from source instead of standard input (the terminal, when standard input
// carries the archive); without a source every answer is the end of input: no.
void readAnswersFrom(FILE* source);

} // namespace qv5
