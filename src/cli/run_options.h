#pragma once
#include "qv5/qv5.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv5 {

// What the command line asked for; each layer gets the part it needs.
struct RunOptions {
    int32_t level = 2;       // c1..c6
    int32_t orderMethod = 0; // -r0..-r2
    bool forceOverwrite = false;
    bool createSfx = false;
    int32_t threadCount = 0;           // -tN; 0: one per core
    std::string threadsInvalid;        // a -t value that is no number from 1 up
    bool quiet = false;                // only failures, questions and the invalid-checksum count
    bool dotFolders = false;           // walk folders whose names begin with '.'
    bool metadata = false;             // -meta: times, modes, folders and links in an extension
    bool verbose = false;              // -v: l lists every item with its type, mode, owner and time
    bool attributeNames = false;       // -vv (or -v twice): ... and the names of its extended attributes
    bool allAttributes = false;        // -xattrs: d restores attributes beyond user.* (ACLs, capabilities)
    std::vector<std::string> excludes; // -exclude=PATTERN, for c
    bool fullPaths = false;            // -fullpaths: c stores each input under its path as typed
    int32_t protectPercent = 0;        // -protect=N: recovery data of N % (c); 0: none
    std::string protectInvalid;        // a -protect value that is no percentage from 1 to 50
    bool encrypt = false;              // -encrypt: c writes a sealed archive
    std::string passwordFile;          // -password-file=PATH: the passphrase is its first line
    std::vector<std::string> recipientFiles; // -recipient=FILE: sealed to these public keys
    std::string identityFile;          // -identity=KEYFILE: a sealed archive opened with this secret key
    // For c -encrypt, once the keys are gathered: what the archive is sealed for.
    std::shared_ptr<SealKeys> seal;
};

} // namespace qv5
