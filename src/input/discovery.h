#pragma once
#include "input/input_records.h"

#include <string>
#include <vector>

namespace qv5 {

struct DiscoveryOptions {
    // Files and folders to leave out, as wildcard patterns (see matchesPattern), compared
    // under the platform's case rule. A pattern matches an entry by its own name, or by its
    // stored name without the leading separator; one that begins with a separator matches
    // stored names only, from the top. Trailing separators are ignored.
    std::vector<std::string> excludes;
    bool dotFolders = false; // walk folders whose names begin with '.' (metadata does too)
    // Keep folders and links as what they are: every folder walked, and every symbolic link
    // (to a file, a folder or nothing), which is then not followed.
    bool metadata = false;
    // Store each file under the argument's path as typed, followed by its path below the
    // argument ("usr/share" stores "/usr/share/..."), instead of under the argument's last
    // component alone: an absolute argument without its root (and drive), "." components
    // dropped. An argument with a ".." component is refused (parentInTypedPath).
    bool fullPaths = false;
};

// Something an argument stands for that discovery leaves out although it was not asked to:
// the user is told.
struct LeftOut {
    std::string path;   // as the user would recognise it: from the argument as typed
    std::string reason; // the program's words, or the system's
};

// Appends the files an input argument stands for (a file, a folder walked recursively, or
// a wildcard pattern). An excluded file is left out and an excluded folder not walked, as
// asked, without a word, and a wildcard that matches nothing appends nothing. Everything else
// that adds no file goes to leftOut, in the order met: a named argument that is not there or
// is a folder whose name begins with '.' (without options.dotFolders), a folder that cannot
// be read, an entry that cannot be examined, a socket, and without options.metadata a FIFO,
// a device or a link that leads nowhere. A folder reached again through a link is no loss.
// Fails with pathTooLong when the argument or a path met on the way does not fit the
// platform's path limit (the limit never drops a file unnoticed), and with backslashInName
// for a name holding '\', a separator in archives, which could not be stored as it is.
// With options.metadata, the folders, links, FIFOs and devices go to extras, in the order met,
// and folders whose names begin with '.' are walked too (a faithful tree has them). Those
// skipped below the argument (or matched by its wildcard) go to dotFoldersSkipped, shown as
// leftOut shows paths. With options.fullPaths, nothing is appended for an argument with a
// ".." component: it fails with parentInTypedPath.
InputError findInputs(InputList& list, const std::string& argument,
                      const DiscoveryOptions& options = DiscoveryOptions(), ExtraList* extras = nullptr,
                      std::vector<LeftOut>* leftOut = nullptr, std::vector<std::string>* dotFoldersSkipped = nullptr);

// The full paths of every file a search path matches, folders expanded depth-first.
InputError listMatches(const std::string& searchPath, std::vector<std::string>& files);

// Search path for the contents of a child folder met while enumerating searchPath.
std::string childPattern(const std::string& searchPath, const std::string& name);

} // namespace qv5
