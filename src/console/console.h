#pragma once
#include <cstdio>
#include <string>

namespace qv5 {

// Where the program's texts go, and which of them. Normally everything goes to standard
// output; when the archive itself travels on standard output or input, the texts go to
// standard error so that the archive bytes are alone on the pipe. Quiet keeps only what a
// script must see: failures (a file that failed its check included), questions and the count
// of invalid checksums.
void setConsole(FILE* stream, bool quiet);
FILE* consoleStream();
bool consoleQuiet();

// An informational text: dropped when quiet.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A failure, a question or a result that must be seen: always shown.
void tell(const char* format, ...) __attribute__((format(printf, 1, 2)));

// After the message of a failed system call, the system's reason: "qv5: PATH: REASON" on
// standard error, whatever the console is, so that standard output keeps only the program's
// own texts. Nothing when reason is empty.
void tellReason(const std::string& path, const std::string& reason);

} // namespace qv5
