#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace qv5 {

// True when the running executable is the plain archiver: its offset slot still holds the
// marker. A self-extracting copy has the archive's offset there instead.
bool isPlainArchiver();

// Copies the running executable into the open output file with its offset slot patched to
// the executable's size, so that the archive written next begins there. False after a
// message.
bool writeSfxImage(FILE* output, const std::string& outputPath);

// The self-extracting run: extracts the archive inside the own executable into the current
// folder, then waits for a key. Returns the exit status.
int32_t runSfxStub();

} // namespace qv5
