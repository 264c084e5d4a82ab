#include "input/discovery.h"

#include "platform/platform.h"

#include <cstdio>

namespace qv5 {

namespace {

size_t lastSeparator(const std::string& path)
{
    return path.find_last_of("\\/");
}

bool reportTooLong(const std::string& path)
{
    std::printf("Error: path too long: %s\n", path.c_str());
    return false;
}

// Walks one search path; ancestors holds the folders being walked higher up this branch,
// so that a link back to one of them is not followed forever.
bool walk(const std::string& searchPath, std::vector<std::string>& files, std::vector<FileIdentity>& ancestors)
{
    if (searchPath.empty()) return true;
    if (searchPath.size() > maxPathLength) return reportTooLong(searchPath);
    size_t cut = lastSeparator(searchPath);
    std::string prefix = cut == std::string::npos ? std::string(".\\") : searchPath.substr(0, cut + 1);

    std::vector<DirEntry> entries;
    if (!findEntries(searchPath, entries)) return true;
    for (const DirEntry& entry : entries) {
        if (!entry.isFolder) {
            std::string path = prefix + entry.name;
            if (path.size() > maxPathLength) return reportTooLong(path);
            files.push_back(std::move(path));
            continue;
        }
        if (entry.name.empty() || entry.name[0] == '.') continue;
        bool cycle = false;
        for (const FileIdentity& ancestor : ancestors) cycle = cycle || sameFile(ancestor, entry.identity);
        if (cycle) continue;
        ancestors.push_back(entry.identity);
        bool ok = walk(childPattern(searchPath, entry.name), files, ancestors);
        ancestors.pop_back();
        if (!ok) return false;
    }
    return true;
}

} // namespace

std::string childPattern(const std::string& searchPath, const std::string& name)
{
    size_t cut = lastSeparator(searchPath);
    if (cut == std::string::npos) return name + "\\*.*";
    return searchPath.substr(0, cut + 1) + name + searchPath[cut] + "*.*";
}

bool listMatches(const std::string& searchPath, std::vector<std::string>& files)
{
    std::vector<FileIdentity> ancestors;
    return walk(searchPath, files, ancestors);
}

bool findInputs(InputList& list, const std::string& argument)
{
    std::string fullPath;
    if (!fullPathName(argument, fullPath)) return reportTooLong(argument);

    std::vector<std::string> files;
    if (!listMatches(fullPath, files)) return false;

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
    for (std::string& file : files) {
        SourceItem item;
        if (s != std::string::npos) {
            item.storedName = file.substr(s);
        } else {
            size_t last = file.find_last_of("\\/");
            item.storedName = (last != std::string::npos && last >= 1) ? file.substr(last + 1) : file;
        }
        item.sourcePath = std::move(file);
        list.push_back(std::move(item));
    }
    return true;
}

} // namespace qv5
