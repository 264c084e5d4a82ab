#pragma once

namespace qv5 {

// Reads one answer from standard input: one character, 'A'-'Z' lowered, the rest of the
// line discarded. EOF when the input is closed, '\n' for Enter alone.
int readAnswer();

} // namespace qv5
