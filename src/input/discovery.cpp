#include "input/discovery.h"

#include "input/patterns.h"
#include "platform/platform.h"

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
    bool metadata = false;         // folders and links kept as such, links not followed
    std::vector<ExtraItem> extras; // then: what was met, by full path
    // Where the stored name begins in every path of this walk (they all share the folder
    // that holds the argument); npos when the name is only the last component.
    size_t storedFrom = std::string::npos;
};

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
    for (const Exclusion& exclusion : walk.excludes) {
        if (!exclusion.rooted && matchesPattern(exclusion.pattern, name, namesIgnoreCase)) return true;
        if (matchesPattern(exclusion.pattern, stored, namesIgnoreCase)) return true;
    }
    return false;
}

InputError walkFolder(const std::string& searchPath, Listing& listing, Walk& walk)
{
    if (searchPath.empty()) return InputError();
    if (searchPath.size() > maxPathLength) return tooLong(searchPath);
    size_t cut = lastSeparator(searchPath);
    std::string prefix = cut == std::string::npos ? std::string(".\\") : searchPath.substr(0, cut + 1);

    std::vector<DirEntry> entries;
    if (!findEntries(searchPath, entries, walk.metadata)) return InputError();
    for (const DirEntry& entry : entries) {
        if (walk.metadata && entry.isLink) {
            std::string path = prefix + entry.name;
            if (excluded(path, entry.name, walk)) continue;
            if (entry.name.find('\\') != std::string::npos) return holdsBackslash(path);
            if (path.size() > maxPathLength) return tooLong(path);
            ExtraItem link;
            link.sourcePath = std::move(path);
            link.isLink = true;
            link.linkToFolder = entry.isFolder;
            link.dangling = entry.dangling;
            walk.extras.push_back(std::move(link));
            continue;
        }
        if (!entry.isFolder) {
            std::string path = prefix + entry.name;
            if (excluded(path, entry.name, walk)) continue;
            if (entry.name.find('\\') != std::string::npos) return holdsBackslash(path);
            if (path.size() > maxPathLength) return tooLong(path);
            listing.files.push_back(std::move(path));
            continue;
        }
        if (!walksFolder(entry.name, walk) || excluded(prefix + entry.name, entry.name, walk)) continue;
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
    if (InputError failure = walkFolder(searchPath, top, walk)) return failure;
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

InputError findInputs(InputList& list, const std::string& argument, const DiscoveryOptions& options, ExtraList* extras)
{
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

    Walk walk;
    walk.dotFolders = options.dotFolders;
    walk.metadata = options.metadata && extras;
    walk.storedFrom = s;
    for (const std::string& pattern : options.excludes) {
        Exclusion exclusion = exclusionOf(pattern);
        if (!exclusion.pattern.empty()) walk.excludes.push_back(std::move(exclusion));
    }
    std::vector<std::string> files;
    if (InputError failure = listWalk(fullPath, walk, files)) return failure;

    auto storedNameOf = [s](const std::string& path) {
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
        extras->push_back(std::move(extra));
    }
    return InputError();
}

} // namespace qv5
