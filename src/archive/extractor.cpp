// Extraction to files: output paths formed from the stored names, never written through a
// link or into anything but a regular file; duplicates restored by copying the file just
// written; every written file's CRC-32 available for validation afterwards.
#include "archive/archive_reader.h"
#include "codec/crc32.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr size_t copyPieceSize = 262144;
constexpr size_t outputPathCapacity = 1024; // prefix + stored name, terminating NUL included

} // namespace

struct Extraction {
    const Archive* archive = nullptr;
    const std::vector<Entry>* entries = nullptr;
    ExtractOptions options;
    const ExtractCallbacks* callbacks = nullptr;
    bool singleFile = false;
    bool typedOutput = false;  // one-entry archive written to the path the caller gave, as given
    bool overwriteAll = false; // the answer "all" to an overwrite question
    std::string outputPath;    // single-file mode
    std::string prefix;        // multi-file mode
    std::set<std::string> createdFolders;
    FILE* output = nullptr;  // the file being written
    std::string outputName;  // its path
    size_t outputIndex = 0;  // the entry it is written for
    uint32_t outputCrc = 0;  // CRC-32 of the bytes written to it so far
    size_t lastWritten = 0;  // the entry of the current run of copies last written
    bool runWritten = false; // some entry of the current run was written
    size_t lastSelected = 0; // past it nothing more is written: decoding stops
    // CRC-32 of the bytes handed to fwrite for each entry's file, duplicates included.
    std::vector<uint32_t> writtenCrc;
    // The file each entry was written to, as the system identifies it.
    std::vector<FileIdentity> writtenFile;
    std::vector<bool> writtenOnce;
    uint32_t milliseconds = 0;
    ~Extraction()
    {
        if (output) std::fclose(output);
    }
};

void ExtractionDeleter::operator()(Extraction* extraction) const
{
    delete extraction;
}

namespace {

std::string pathOf(const Extraction& x, size_t index)
{
    return x.singleFile ? x.outputPath : x.prefix + (*x.entries)[index].name;
}

bool selected(const Extraction& x, size_t index)
{
    return x.options.selected.empty() || x.options.selected[index];
}

// After the last selected entry the rest of the stream is not needed.
Error doneWith(const Extraction& x, size_t index)
{
    return index == x.lastSelected && !x.options.selected.empty() ? Error(ErrorCode::stopped) : Error();
}

void createFolders(Extraction& x, const std::string& path)
{
    std::string copy = path;
    for (char& c : copy) {
        if (c == '/') c = '\\';
    }
    for (size_t i = 0; i < copy.size(); ++i) {
        if (copy[i] != '\\') continue;
        std::string folder = copy.substr(0, i);
        if (x.createdFolders.insert(folder).second) createDirectory(folder);
    }
}

// Whether something the overwrite question must ask about stands at path. At a path formed
// from a stored name anything counts (a link, dangling or not, a FIFO, a file the user may
// write but not read), except a folder, which no answer can turn into a file. The path a
// caller gave for a one-entry archive is probed as a file to read, so that a device such as
// /dev/stdout is written without a question.
bool existsForQuestion(const Extraction& x, const std::string& path)
{
    if (x.typedOutput) {
        FILE* probe = openRead(path);
        if (probe) std::fclose(probe);
        return probe != nullptr;
    }
    EntryKind kind = entryKindOf(path);
    return kind != EntryKind::missing && kind != EntryKind::folder;
}

// The archive itself is never an output; an existing file is overwritten only when allowed.
Error mayWrite(Extraction& x, const std::string& path)
{
    if (sameFile(identityOfPath(path), x.archive->identity)) {
        return Error{ErrorCode::outputIsArchive, path, std::string(), true};
    }
    if (x.options.forceOverwrite || x.overwriteAll || !existsForQuestion(x, path)) return Error();
    Answer answer = x.callbacks->askOverwrite ? x.callbacks->askOverwrite(path) : Answer::no;
    if (answer == Answer::all) x.overwriteAll = true;
    return answer == Answer::no ? Error{ErrorCode::overwriteDeclined, path} : Error();
}

// Opens an output file at a path formed from a stored name: a regular file there is
// truncated, a link or special file is removed (never what it leads to) and the file is
// created exclusively, so that nothing is ever written through a link or into a device.
FILE* openFormedPath(const std::string& path)
{
    switch (entryKindOf(path)) {
    case EntryKind::missing:
        return createExclusive(path);
    case EntryKind::file:
        return openExistingRegular(path);
    case EntryKind::link:
    case EntryKind::other:
        return removeEntry(path) ? createExclusive(path) : nullptr;
    case EntryKind::folder:
        break;
    }
    return nullptr;
}

Error openOutput(Extraction& x, const std::string& path, FILE*& file)
{
    if (!x.singleFile) createFolders(x, path);
    if (Error refused = mayWrite(x, path)) return refused;
    file = x.typedOutput ? openWrite(path) : openFormedPath(path);
    if (!file) return Error{x.singleFile ? ErrorCode::openSingleOutput : ErrorCode::openOutput, path, "", true};
    // Every write is a whole run of decoded bytes or a copy piece: no stdio buffer needed.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return Error();
}

Error closeOutput(FILE* file, const std::string& path)
{
    if (std::fclose(file) != 0) return Error{ErrorCode::writeOutput, path, std::string(), true};
    return Error();
}

// Restores entry index, a duplicate of source, by copying the file source was written to.
Error copyFile(Extraction& x, size_t index, size_t source)
{
    std::string sourcePath = pathOf(x, source);
    FILE* from = openRead(sourcePath);
    if (!from) return Error{ErrorCode::openInput, sourcePath, std::string(), true};
    std::string targetPath = pathOf(x, index);
    FILE* target = nullptr;
    if (Error failure = openOutput(x, targetPath, target)) {
        std::fclose(from);
        return failure;
    }
    x.writtenFile[index] = identityOfFile(target);
    std::unique_ptr<uint8_t[]> piece(new uint8_t[copyPieceSize]);
    size_t got;
    bool ok = true;
    uint32_t crc = 0;
    while (ok && (got = std::fread(piece.get(), 1, copyPieceSize, from)) > 0) {
        ok = std::fwrite(piece.get(), 1, got, target) == got;
        crc = crc32Update(crc, piece.get(), got);
    }
    x.writtenCrc[index] = crc;
    bool readError = std::ferror(from) != 0;
    std::fclose(from);
    Error closed = closeOutput(target, targetPath);
    if (!ok) return Error{ErrorCode::writeOutput, targetPath, std::string(), true};
    if (closed) return closed;
    if (readError) return Error{ErrorCode::readInput, sourcePath, std::string(), true};
    return Error();
}

// The stored bytes of a run of equal entries (the entry at index and the copies after it)
// go to the first selected entry of the run: a selected copy whose stored entry is not
// selected is still written, from the stream.
SplitCallbacks fileWriting(Extraction& x)
{
    SplitCallbacks callbacks;
    callbacks.begin = [&x](size_t index) {
        const std::vector<Entry>& entries = *x.entries;
        size_t target = index;
        while (!selected(x, target) && entries[target].duplicate && target + 1 < entries.size()) ++target;
        x.runWritten = false;
        if (!selected(x, target)) return Error();
        x.outputIndex = target;
        x.outputName = pathOf(x, target);
        if (Error failure = openOutput(x, x.outputName, x.output)) return failure;
        x.writtenFile[target] = identityOfFile(x.output);
        x.outputCrc = 0;
        return Error();
    };
    callbacks.bytes = [&x](size_t, const uint8_t* data, size_t count) {
        if (!x.output) return Error();
        if (std::fwrite(data, 1, count, x.output) != count) {
            return Error{ErrorCode::writeOutput, x.outputName, std::string(), true};
        }
        x.outputCrc = crc32Update(x.outputCrc, data, count);
        return Error();
    };
    callbacks.end = [&x](size_t index) {
        if (!x.output) return doneWith(x, index);
        FILE* done = x.output;
        x.output = nullptr;
        x.writtenCrc[x.outputIndex] = x.outputCrc;
        x.lastWritten = x.outputIndex;
        x.runWritten = true;
        if (Error failure = closeOutput(done, x.outputName)) return failure;
        return doneWith(x, x.outputIndex);
    };
    callbacks.copy = [&x](size_t index, size_t) {
        if (!selected(x, index) || (x.runWritten && x.lastWritten == index)) return doneWith(x, index);
        if (Error failure = copyFile(x, index, x.lastWritten)) return failure;
        x.lastWritten = index;
        return doneWith(x, index);
    };
    return callbacks;
}

void chooseOutputLocation(Extraction& x, const char* output)
{
    x.singleFile = x.entries->size() == 1;
    x.typedOutput = x.singleFile && output;
    if (output) {
        (x.singleFile ? x.outputPath : x.prefix) = output;
        return;
    }
    if (!x.singleFile) {
        x.prefix = currentFolderPrefix();
        return;
    }
    const std::string& name = (*x.entries)[0].name;
    size_t i = 0;
    while (i < name.size() && name[i] == '.') ++i;
    while (i < name.size() && isPathSeparator(name[i])) ++i;
    x.outputPath = name.substr(i);
}

Error pathsFit(const Extraction& x)
{
    for (size_t i = 0; i < x.entries->size(); ++i) {
        if (!selected(x, i)) continue;
        std::string path = pathOf(x, i);
        if (path.size() >= outputPathCapacity) return Error{ErrorCode::pathTooLong, path};
    }
    return Error();
}

// Whether a folder of path ending at or after first (each taken without the separator after
// it: with one, the system would follow a link to its folder) is a link standing before
// extraction; checked holds the folders looked at already.
bool leadsThroughLink(const std::string& path, size_t first, std::set<std::string>& checked)
{
    for (size_t end = first; end < path.size(); ++end) {
        if (!isPathSeparator(path[end]) || isPathSeparator(path[end - 1])) continue;
        std::string folder = path.substr(0, end);
        if (checked.insert(folder).second && entryKindOf(folder) == EntryKind::link) return true;
    }
    return false;
}

// No folder below the output prefix, on any output path formed from a stored name, may be a
// link that exists before extraction: the folders a stored name names are then created by
// the extraction itself, inside the output folder. The prefix (what the caller gave) may be
// a link.
Error pathsAvoidLinks(const Extraction& x)
{
    if (x.typedOutput) return Error();
    std::set<std::string> checked;
    // The stored part of a path starts after the prefix: the whole path in single-file mode.
    const size_t first = x.singleFile ? 1 : x.prefix.size() + 1;
    for (size_t i = 0; i < x.entries->size(); ++i) {
        if (!selected(x, i)) continue;
        const std::string path = pathOf(x, i);
        if (leadsThroughLink(path, first, checked)) return Error{ErrorCode::outputThroughLink, path};
    }
    return Error();
}

// ---- Metadata --------------------------------------------------------------------------

// The first failure of check over the names of the folder and link records.
template <class Check>
Error checkRecordNames(const Extension& extension, Check check)
{
    for (const FolderRecord& folder : extension.folders) {
        if (Error refused = check(folder.name)) return refused;
    }
    for (const LinkRecord& link : extension.links) {
        if (Error refused = check(link.name)) return refused;
    }
    return Error();
}

// Folder and link records must make output paths as entries must: names refused as entries'
// are, paths that fit and lead through no link standing before extraction. In single-file
// mode they have no place and are not used.
Error checkExtensionPaths(const Extraction& x, const Extension& extension)
{
    if (x.singleFile) return Error();
    Error refused = checkRecordNames(extension, [&](const std::string& name) {
        Entry entry;
        entry.name = name;
        if (Error failure = checkName(entry, false)) return failure;
        std::string path = x.prefix + name;
        if (path.size() >= outputPathCapacity) return Error(ErrorCode::pathTooLong, path);
        return Error();
    });
    if (refused) return refused;
    std::set<std::string> checked;
    return checkRecordNames(extension, [&](const std::string& name) {
        const std::string path = x.prefix + name;
        return leadsThroughLink(path, x.prefix.size() + 1, checked) ? Error(ErrorCode::outputThroughLink, path)
                                                                    : Error();
    });
}

void notRestored(const Extraction& x, const std::string& path, const char* what)
{
    if (x.callbacks->notRestored) x.callbacks->notRestored(path, what);
}

void createRecordedFolders(Extraction& x, const Extension& extension)
{
    if (x.singleFile) return;
    for (const FolderRecord& folder : extension.folders) {
        std::string path = x.prefix + folder.name;
        while (!path.empty() && isPathSeparator(path.back())) path.pop_back();
        createFolders(x, path);
        if (!ensureFolder(path)) notRestored(x, path, "folder");
    }
}

void restoreFile(const Extraction& x, size_t index, const Metadata& metadata)
{
    const std::string path = pathOf(x, index);
    // The time first: a mode without write permission could stand in its way.
    if (!setModifiedTime(path, metadata.modifiedNs, false)) notRestored(x, path, "time");
    if (!setMode(path, metadata.mode & (0777 | modeHidden | modeSystem))) notRestored(x, path, "mode");
}

// A link takes the place of whatever stands at its path, as a file would: asked about, and
// what stood there removed (never what it leads to).
Error createRecordedLink(Extraction& x, const LinkRecord& link)
{
    const std::string path = x.prefix + link.name;
    createFolders(x, path);
    EntryKind kind = entryKindOf(path);
    if (kind != EntryKind::missing) {
        if (Error refused = mayWrite(x, path)) return refused;
        if (kind == EntryKind::folder || !removeEntry(path)) {
            notRestored(x, path, "link");
            return Error();
        }
    }
    // Some systems answer yes and make nothing: what stands afterwards decides.
    if (!createLink(link.target, path, link.kind == LinkKind::folder) || entryKindOf(path) != EntryKind::link) {
        notRestored(x, path, "link");
        return Error();
    }
    if (!setModifiedTime(path, link.metadata.modifiedNs, true)) notRestored(x, path, "time");
    return Error();
}

size_t depthOf(const std::string& name)
{
    size_t depth = 0;
    for (char c : name) depth += isPathSeparator(c) ? 1 : 0;
    return depth;
}

// Everything of the metadata that comes after the files: their modes and times, the links,
// then the folders' modes and times, deepest first (a folder made read-only takes nothing
// more).
Error restoreAfterFiles(Extraction& x, const Extension& extension)
{
    for (size_t i = 0; i < x.entries->size() && i < extension.entries.size(); ++i) {
        if (selected(x, i)) restoreFile(x, i, extension.entries[i]);
    }
    if (x.singleFile) return Error();
    for (const LinkRecord& link : extension.links) {
        if (Error refused = createRecordedLink(x, link)) return refused;
    }
    std::vector<const FolderRecord*> folders;
    for (const FolderRecord& folder : extension.folders) folders.push_back(&folder);
    std::stable_sort(folders.begin(), folders.end(),
                     [](const FolderRecord* a, const FolderRecord* b) { return depthOf(a->name) > depthOf(b->name); });
    for (const FolderRecord* folder : folders) {
        std::string path = x.prefix + folder->name;
        while (!path.empty() && isPathSeparator(path.back())) path.pop_back();
        if (!setModifiedTime(path, folder->metadata.modifiedNs, false)) notRestored(x, path, "time");
        if (!setMode(path, folder->metadata.mode & (0777 | modeHidden | modeSystem))) notRestored(x, path, "mode");
    }
    return Error();
}

// Entries whose file was written once only in this extraction (another entry's file was not
// the same one under another spelling, or by a link).
std::vector<bool> filesWrittenOnce(const Extraction& x)
{
    std::map<std::pair<uint64_t, uint64_t>, int> uses;
    for (const FileIdentity& id : x.writtenFile) {
        if (id.valid) ++uses[{id.device, id.index}];
    }
    std::vector<bool> once(x.entries->size());
    for (size_t i = 0; i < once.size(); ++i) {
        const FileIdentity& id = x.writtenFile[i];
        once[i] = id.valid && uses[{id.device, id.index}] == 1;
    }
    return once;
}

} // namespace

Error extractFiles(Archive& archive, const std::vector<Entry>& entries, const ExtractOptions& options,
                   const ExtractCallbacks& callbacks, ExtractionPtr& extraction)
{
    extraction.reset(new Extraction);
    Extraction& x = *extraction;
    x.archive = &archive;
    x.entries = &entries;
    x.options = options;
    x.callbacks = &callbacks;
    if (Error failure = tableMatchesStream(entries, archive.header.storedTotal)) return failure;
    chooseOutputLocation(x, options.output);
    if (Error failure = pathsFit(x)) return failure;
    if (Error failure = pathsAvoidLinks(x)) return failure;
    if (options.extension) {
        if (options.extension->entries.size() != entries.size()) return damaged("extension does not match the table");
        if (Error failure = checkExtensionPaths(x, *options.extension)) return failure;
        createRecordedFolders(x, *options.extension);
    }
    x.writtenCrc.assign(entries.size(), 0);
    x.writtenFile.assign(entries.size(), FileIdentity());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (selected(x, i)) x.lastSelected = i;
    }

    uint32_t t0 = clockMs();
    Error result = decodeEntries(archive, entries, options.threads, callbacks.chunk, fileWriting(x));
    x.milliseconds = clockMs() - t0;
    if (result.code == ErrorCode::stopped && !options.selected.empty()) result = Error();
    if (result) return result;
    x.writtenOnce = filesWrittenOnce(x);
    if (options.extension) return restoreAfterFiles(x, *options.extension);
    return Error();
}

Error restoreMetadata(Extraction& x, const Extension& extension)
{
    if (extension.entries.size() != x.entries->size()) return damaged("extension does not match the table");
    if (Error failure = checkExtensionPaths(x, extension)) return failure;
    createRecordedFolders(x, extension);
    return restoreAfterFiles(x, extension);
}

// The bytes handed to fwrite were hashed on their way out and the file was closed without
// error, so a file written once, still there with its size, holds them. Any other is read
// back: that reports a missing file and the checksum of what is there now, as a later write
// left it.
Error writtenCrc(const Extraction& x, size_t index, uint32_t& crc)
{
    std::string path = pathOf(x, index);
    int64_t size = 0;
    if (x.writtenOnce[index] && querySize(path, size) && static_cast<uint64_t>(size) == (*x.entries)[index].size) {
        crc = x.writtenCrc[index];
        return Error();
    }
    FILE* file = openRead(path);
    if (!file) return Error{ErrorCode::openInput, path};
    bool ok = crc32OfFile(file, crc);
    std::fclose(file);
    return ok ? Error() : Error{ErrorCode::readInput, path};
}

std::string outputPath(const Extraction& extraction, size_t index)
{
    return pathOf(extraction, index);
}

uint32_t extractMilliseconds(const Extraction& extraction)
{
    return extraction.milliseconds;
}

} // namespace qv5
