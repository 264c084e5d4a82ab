#pragma once
#include "input/input_records.h"

#include <string>
#include <vector>

namespace qv5 {

// Appends the files an input argument stands for (a file, a folder walked recursively, or
// a wildcard pattern). An argument that matches nothing appends nothing. Fails with
// pathTooLong when the argument or a path met on the way does not fit the platform's path
// limit (no file is ever left out silently), and with backslashInName for a name holding
// '\', a separator in archives, which could not be stored as it is.
InputError findInputs(InputList& list, const std::string& argument);

// The full paths of every file a search path matches, folders expanded depth-first.
InputError listMatches(const std::string& searchPath, std::vector<std::string>& files);

// Search path for the contents of a child folder met while enumerating searchPath.
std::string childPattern(const std::string& searchPath, const std::string& name);

} // namespace qv5
