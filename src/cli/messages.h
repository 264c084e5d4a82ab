#pragma once
// The program's texts for failures reported by the library and the input layer.
#include "input/input_records.h"
#include "qv5/qv5.h"

#include <string>

namespace qv5 {

// Prints the message of a failure (nothing for a declined overwrite or a stop), then, when a
// system call failed, the system's reason on a line of its own (tellReason). archivePath
// names the archive in "Error writing archive %s"; addendum, when given, ends the message's
// line (what the failure cost).
void printError(const Error& failure, const std::string& archivePath = std::string(), const char* addendum = nullptr);
void printError(const InputError& failure);

// The archive a command reads, as the user named it: the path the reason names when a read
// of it failed.
void nameArchiveRead(const std::string& path);

} // namespace qv5
