#pragma once
// Sealed archives on the command line: the keys they are written for and opened with, and k.
#include "archive/sealed_archive.h"
#include "cli/run_options.h"

#include <cstdio>
#include <string>

namespace qv5 {

// c -encrypt: gathers the passphrase (the file's first line, or typed twice) or the
// recipients' public keys into options.sealFor; false after a message.
bool prepareSeal(RunOptions& options);

// l, t, d of a sealed archive: reads its header, opens it with the secret key or passphrase
// and readies its plain bytes; false after a message (a wrong one: "wrong password or key").
// pipe: the file is read in order only (standard input).
bool openSealedArchive(FILE* file, const RunOptions& options, SealedReading& reading, bool pipe = false);

// k KEYFILE: a new secret key in KEYFILE (owner only) and its public key in KEYFILE.pub.
int32_t keyCommand(const std::string& path);

} // namespace qv5
