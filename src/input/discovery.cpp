#include "input/discovery.h"

#include "input/patterns.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <set>
#include <string_view>
#include <utility>

namespace qv5 {

namespace {

size_t lastSeparator(const std::string& path)
{
    return path.find_last_of("\\/");
}

InputError tooLong(const std::string& path)
{
    return InputError{InputFailure::pathTooLong, path};
}

// A name read from a folder listing goes to the system as it is; in the archive '\' is a
// folder separator, so a name holding one (legal on Linux) cannot be stored faithfully, and
// read through a translated path it would be another file.
InputError holdsBackslash(const std::string& path)
{
    return InputError{InputFailure::backslashInName, path};
}

// The files one folder walk yields, in enumeration order. A link to a folder is not followed
// where it is met: it leaves a hole at that place, filled once the real folders of the whole
// walk are known.
struct Listing {
    std::vector<std::string> files;
    std::vector<std::pair<size_t, size_t>> holes; // (files before it, index of the link)
};

// An exclude pattern without its leading and trailing separators; rooted when it had a
// leading one, so that it matches stored names from the top only.
struct Exclusion {
    std::string pattern;
    bool rooted = false;
};

struct LinkedFolder {
    std::string searchPath;
    FileIdentity identity;
    Listing listing;
};

// One input argument's walk. Every folder is walked at most once, by identity: its files are
// stored under its own path when the walk reaches it without a link, otherwise under the
// first link that leads to it (links in the order met, shallower first). So a link beside
// its target, a cycle or a fan-out of links (two per level, ten levels) stores nothing twice.
struct Walk {
    std::set<std::pair<uint64_t, uint64_t>> walked;
    std::deque<LinkedFolder> links; // stable addresses while the walk appends
    bool firstVisit(const FileIdentity& id) { return !id.valid || walked.insert({id.device, id.index}).second; }

    std::vector<Exclusion> excludes;
    bool dotFolders = false;
    bool metadata = false;         // folders, links and special files kept as such, links not followed
    std::vector<ExtraItem> extras; // then: what was met, by full path
    // Where the stored name begins in every path of this walk (they all share the folder
    // that holds the argument); npos when the name is only the last component.
    size_t storedFrom = std::string::npos;
    std::string storedPrefix; // -fullpaths: what stands before that part (the argument as typed)

    // What is left out unasked, with paths shown from the argument as typed: the typed
    // folder in place of the full one, where it is the same folder.
    std::vector<LeftOut>* leftOut = nullptr;
    std::vector<std::string>* dotFoldersSkipped = nullptr; // as designed, but said in a summary
    std::string argument;    // as typed
    bool literal = false;    // it names one entry (no wildcard)
    std::string fullFolder;  // the full path up to and including its last separator ...
    std::string typedFolder; // ... and as typed; both empty when paths are shown in full
    std::string shown(const std::string& path) const
    {
        if (fullFolder.empty() || path.compare(0, fullFolder.size(), fullFolder) != 0) return path;
        return typedFolder + path.substr(fullFolder.size());
    }
    void leaveOut(std::string path, std::string reason)
    {
        if (leftOut) leftOut->push_back(LeftOut{std::move(path), std::move(reason)});
    }
};

// The reasons of the program's own for what it leaves out.
constexpr const char* dotFolderSkipped = "a folder whose name begins with '.' is walked only with -dotfolders";
constexpr const char* socketSkipped = "a socket cannot be stored";
constexpr const char* fifoSkipped = "a FIFO is stored only with -meta";
constexpr const char* deviceSkipped = "a device is stored only with -meta";
constexpr const char* danglingSkipped = "a link that leads nowhere is stored only with -meta";
constexpr const char* emptyArgument = "an empty name names no file";

// Folders whose names begin with '.' (version control, caches, settings) only when asked
// for; "." and ".." never.
bool walksFolder(const std::string& name, const Walk& walk)
{
    if (name.empty()) return false;
    if (name[0] != '.') return true;
    return walk.dotFolders && name != "." && name != "..";
}

// Whether an entry met at path, named name, is one of those to leave out.
bool excluded(const std::string& path, const std::string& name, const Walk& walk)
{
    if (walk.excludes.empty()) return false;
    std::string_view stored =
        walk.storedFrom < path.size() ? std::string_view(path).substr(walk.storedFrom) : std::string_view(name);
    while (!stored.empty() && isPathSeparator(stored.front())) stored.remove_prefix(1);
    std::string joined;
    if (!walk.storedPrefix.empty()) {
        joined = walk.storedPrefix.substr(1);
        if (walk.storedFrom < path.size() && !stored.empty()) joined.append(1, '/').append(stored);
        stored = joined;
    }
    for (const Exclusion& exclusion : walk.excludes) {
        if (!exclusion.rooted && matchesPattern(exclusion.pattern, name, namesIgnoreCase)) return true;
        if (matchesPattern(exclusion.pattern, stored, namesIgnoreCase)) return true;
    }
    return false;
}

// A link, FIFO or device kept as what it is (with metadata).
InputError keepExtra(std::string path, const DirEntry& entry, Walk& walk)
{
    if (entry.name.find('\\') != std::string::npos) return holdsBackslash(path);
    if (path.size() > maxPathLength) return tooLong(path);
    ExtraItem extra;
    extra.sourcePath = std::move(path);
    extra.isLink = entry.isLink;
    extra.linkToFolder = entry.isLink && entry.isFolder;
    extra.dangling = entry.dangling;
    extra.special = !entry.isLink && entry.special != Special::none;
    walk.extras.push_back(std::move(extra));
    return InputError();
}

// What cannot be stored as a file or walked as a folder: told (or, with metadata, kept as
// what it is). True when the entry was dealt with.
bool leftAsIs(const std::string& path, const DirEntry& entry, Walk& walk, InputError& failure)
{
    const char* reason = nullptr;
    if (!entry.unreadable.empty()) {
        walk.leaveOut(walk.shown(path), entry.unreadable);
        return true;
    }
    if (walk.metadata && entry.isLink) {
        failure = keepExtra(path, entry, walk);
        return true;
    }
    if (entry.dangling) {
        reason = danglingSkipped;
    } else if (entry.special == Special::socket) {
        reason = socketSkipped;
    } else if (entry.special != Special::none) {
        if (walk.metadata) {
            failure = keepExtra(path, entry, walk);
            return true;
        }
        reason = entry.special == Special::fifo ? fifoSkipped : deviceSkipped;
    }
    if (!reason) return false;
    walk.leaveOut(walk.shown(path), reason);
    return true;
}

// top: the search path is the argument's own (later ones list folders met on the way).
InputError walkFolder(const std::string& searchPath, Listing& listing, Walk& walk, bool top = false)
{
    if (searchPath.empty()) return InputError();
    if (searchPath.size() > maxPathLength) return tooLong(searchPath);
    size_t cut = lastSeparator(searchPath);
    std::string prefix = cut == std::string::npos ? std::string(".\\") : searchPath.substr(0, cut + 1);

    std::vector<DirEntry> entries;
    const Listed found = findEntries(searchPath, entries);
    // A wildcard that takes every entry of a folder walks that folder as naming it would: a
    // link below that leads back to it stores nothing a second time.
    if (top && found == Listed::entries) {
        const std::string_view pattern = std::string_view(searchPath).substr(cut == std::string::npos ? 0 : cut + 1);
        // The folder keeps its separator where it is a root ("/", "C:\"): "C:" alone is
        // another folder, the current one on that drive.
        if ((pattern == "*" || pattern == "*.*") && cut != std::string::npos) {
            const bool root = cut == 0 || searchPath[cut - 1] == ':';
            walk.firstVisit(identityOfPath(searchPath.substr(0, root ? cut + 1 : cut)));
        }
    }
    if (found != Listed::entries) {
        // A named argument that is not there is said, and so is a folder that cannot be read;
        // a wildcard that matches nothing, or a folder gone since it was listed, is not.
        if (top && walk.literal) {
            walk.leaveOut(walk.argument, lastFailureReason());
        } else if (found == Listed::failed) {
            walk.leaveOut(walk.shown(cut == std::string::npos ? searchPath : searchPath.substr(0, cut)),
                          lastFailureReason());
        }
        return InputError();
    }
    for (const DirEntry& entry : entries) {
        // Everything but a folder to walk: a file, or what leftAsIs takes.
        if (!entry.isFolder || entry.dangling || !entry.unreadable.empty() || (walk.metadata && entry.isLink)) {
            std::string path = prefix + entry.name;
            if (excluded(path, entry.name, walk)) continue;
            InputError failure;
            if (leftAsIs(path, entry, walk, failure)) {
                if (failure) return failure;
                continue;
            }
            if (entry.name.find('\\') != std::string::npos) return holdsBackslash(path);
            if (path.size() > maxPathLength) return tooLong(path);
            listing.files.push_back(std::move(path));
            continue;
        }
        if (!walksFolder(entry.name, walk) || excluded(prefix + entry.name, entry.name, walk)) {
            // A dot folder named as the argument itself adds nothing: said. Below an input,
            // dot folders are skipped as designed.
            const bool skippedAsDot = entry.name != "." && entry.name != ".." && !entry.name.empty() &&
                                      !excluded(prefix + entry.name, entry.name, walk);
            if (skippedAsDot && top && walk.literal) {
                walk.leaveOut(walk.shown(prefix + entry.name), dotFolderSkipped);
            } else if (skippedAsDot && walk.dotFoldersSkipped) {
                walk.dotFoldersSkipped->push_back(walk.shown(prefix + entry.name));
            }
            continue;
        }
        if (entry.name.find('\\') != std::string::npos) return holdsBackslash(prefix + entry.name);
        if (entry.isLink) {
            listing.holes.emplace_back(listing.files.size(), walk.links.size());
            walk.links.push_back({childPattern(searchPath, entry.name), entry.identity, {}});
            continue;
        }
        if (!walk.firstVisit(entry.identity)) continue;
        if (walk.metadata) {
            ExtraItem folder;
            folder.sourcePath = prefix + entry.name;
            walk.extras.push_back(std::move(folder));
        }
        if (InputError failure = walkFolder(childPattern(searchPath, entry.name), listing, walk)) return failure;
    }
    return InputError();
}

void flatten(const Listing& listing, const Walk& walk, std::vector<std::string>& files)
{
    size_t next = 0;
    for (const auto& [position, link] : listing.holes) {
        files.insert(files.end(), listing.files.begin() + static_cast<std::ptrdiff_t>(next),
                     listing.files.begin() + static_cast<std::ptrdiff_t>(position));
        next = position;
        flatten(walk.links[link].listing, walk, files);
    }
    files.insert(files.end(), listing.files.begin() + static_cast<std::ptrdiff_t>(next), listing.files.end());
}

InputError listWalk(const std::string& searchPath, Walk& walk, std::vector<std::string>& files)
{
    Listing top;
    if (InputError failure = walkFolder(searchPath, top, walk, true)) return failure;
    // Links are taken in the order met; one met inside a linked folder joins the queue.
    for (size_t i = 0; i < walk.links.size(); ++i) {
        LinkedFolder& link = walk.links[i];
        if (!walk.firstVisit(link.identity)) continue;
        if (InputError failure = walkFolder(link.searchPath, link.listing, walk)) return failure;
    }
    flatten(top, walk, files);
    return InputError();
}

// An exclude pattern as compared: trailing separators mean nothing; leading ones anchor it.
Exclusion exclusionOf(std::string_view pattern)
{
    Exclusion exclusion;
    while (!pattern.empty() && isPathSeparator(pattern.back())) pattern.remove_suffix(1);
    while (!pattern.empty() && isPathSeparator(pattern.front())) {
        pattern.remove_prefix(1);
        exclusion.rooted = true;
    }
    exclusion.pattern = pattern;
    return exclusion;
}

} // namespace

std::string childPattern(const std::string& searchPath, const std::string& name)
{
    size_t cut = lastSeparator(searchPath);
    if (cut == std::string::npos) return name + "\\*.*";
    return searchPath.substr(0, cut + 1) + name + searchPath[cut] + "*.*";
}

InputError listMatches(const std::string& searchPath, std::vector<std::string>& files)
{
    Walk walk;
    return listWalk(searchPath, walk, files);
}

namespace {

std::string_view withoutTrailingSeparators(std::string_view path)
{
    while (!path.empty() && isPathSeparator(path.back())) path.remove_suffix(1);
    return path;
}

// Shows what the walk meets below the argument from the argument as typed ("docs/x", not
// "/home/me/docs/x"), where the folder it was typed in is the one its full form names (not
// for "docs/..", say); otherwise in full.
void showFromTyped(Walk& walk, const std::string& argument, const std::string& fullPath)
{
    const std::string typed(withoutTrailingSeparators(argument));
    const size_t typedCut = lastSeparator(typed);
    const size_t fullCut = lastSeparator(fullPath);
    if (typed.empty() || fullCut == std::string::npos) return;
    const std::string typedFolder = typedCut == std::string::npos ? std::string() : typed.substr(0, typedCut + 1);
    std::string resolved;
    if (!fullPathName(typedFolder.empty() ? std::string(".") : typedFolder, resolved)) return;
    const std::string fullFolder = fullPath.substr(0, fullCut + 1);
    if (withoutTrailingSeparators(resolved) != withoutTrailingSeparators(fullFolder)) return;
    walk.fullFolder = fullFolder;
    walk.typedFolder = typedFolder;
}

// -fullpaths: the argument as typed, the part of every stored name before what lies below
// it: no root or drive, no "." or empty component, sep between components. False when a
// component is "..", which no stored name may hold.
bool typedPrefix(std::string_view typed, char sep, std::string& prefix)
{
    if (windowsNames && typed.size() >= 2 && typed[1] == ':') typed.remove_prefix(2);
    prefix.clear();
    size_t at = 0;
    while (at < typed.size()) {
        size_t end = at;
        while (end < typed.size() && !isPathSeparator(typed[end])) ++end;
        const std::string_view component = typed.substr(at, end - at);
        if (component == "..") return false;
        if (!component.empty() && component != ".") {
            if (!prefix.empty()) prefix += sep;
            prefix += component;
        }
        at = end + 1;
    }
    return true;
}

} // namespace

InputError findInputs(InputList& list, const std::string& argument, const DiscoveryOptions& options, ExtraList* extras,
                      std::vector<LeftOut>* leftOut, std::vector<std::string>* dotFoldersSkipped)
{
    // An empty argument (an unset variable, say) names nothing; it is not the current folder.
    if (argument.empty()) {
        if (leftOut) leftOut->push_back(LeftOut{argument, emptyArgument});
        return InputError();
    }
    std::string fullPath;
    if (!fullPathName(argument, fullPath)) return tooLong(argument);

    // The containing folder ends at the last separator before the argument's own name.
    size_t i = fullPath.size() - 1;
    while (i > 0 && isPathSeparator(fullPath[i])) --i;
    size_t s = std::string::npos;
    for (size_t k = i + 1; k-- > 0;) {
        if (isPathSeparator(fullPath[k])) {
            s = k;
            break;
        }
    }

    // -fullpaths: a stored name is the argument as typed, then the path below what it names:
    // below the argument itself, or below its folder for a wildcard.
    std::string typed;
    size_t below = std::string::npos;
    if (options.fullPaths) {
        const bool wildcard = fullPath.find_first_of("*?", s == std::string::npos ? 0 : s) != std::string::npos;
        std::string_view spelled = withoutTrailingSeparators(argument);
        if (wildcard) {
            const size_t cut = spelled.find_last_of("\\/");
            spelled = cut == std::string_view::npos ? std::string_view() : spelled.substr(0, cut);
        }
        const char sep = s == std::string::npos ? '/' : fullPath[s];
        if (!typedPrefix(spelled, sep, typed)) return InputError{InputFailure::parentInTypedPath, argument};
        if (!typed.empty()) typed.insert(typed.begin(), sep);
        below = wildcard ? (s == std::string::npos ? 0 : s + 1) : i + 1;
    }

    Walk walk;
    walk.metadata = options.metadata && extras;
    walk.dotFolders = options.dotFolders || walk.metadata; // a faithful tree has them
    walk.dotFoldersSkipped = dotFoldersSkipped;
    walk.storedFrom = options.fullPaths ? below : s;
    walk.storedPrefix = typed;
    walk.leftOut = leftOut;
    walk.argument = argument;
    walk.literal = fullPath.find_first_of("*?", s == std::string::npos ? 0 : s) == std::string::npos;
    if (leftOut) showFromTyped(walk, argument, fullPath);
    for (const std::string& pattern : options.excludes) {
        Exclusion exclusion = exclusionOf(pattern);
        if (!exclusion.pattern.empty()) walk.excludes.push_back(std::move(exclusion));
    }
    std::vector<std::string> files;
    if (InputError failure = listWalk(fullPath, walk, files)) return failure;

    auto storedNameOf = [&, s](const std::string& path) {
        if (options.fullPaths) {
            const char sep = s == std::string::npos ? '/' : fullPath[s];
            size_t from = std::min(below, path.size());
            while (from < path.size() && isPathSeparator(path[from])) ++from;
            if (from == path.size()) return typed; // the argument itself; empty for "." or a root
            return typed + sep + path.substr(from);
        }
        if (s != std::string::npos) return path.substr(s);
        size_t last = path.find_last_of("\\/");
        return (last != std::string::npos && last >= 1) ? path.substr(last + 1) : path;
    };
    for (std::string& file : files) {
        SourceItem item;
        item.storedName = storedNameOf(file);
        item.sourcePath = std::move(file);
        list.push_back(std::move(item));
    }
    for (ExtraItem& extra : walk.extras) {
        extra.storedName = storedNameOf(extra.sourcePath);
        if (extra.storedName.empty()) continue; // the output folder itself: no record of its own
        extras->push_back(std::move(extra));
    }
    return InputError();
}

} // namespace qv5
