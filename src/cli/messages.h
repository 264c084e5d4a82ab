#pragma once
// The program's texts for failures reported by the library and the input layer.
#include "input/input_records.h"
#include "qv5/qv5.h"

#include <string>

namespace qv5 {

// Prints the message of a failure (nothing for a declined overwrite or a stop). archivePath
// names the archive in "Error writing archive %s".
void printError(const Error& failure, const std::string& archivePath = std::string());
void printError(const InputError& failure);

} // namespace qv5
