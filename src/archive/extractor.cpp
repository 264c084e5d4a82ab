// Extraction to files. Every name is checked before anything is written; every output is
// then made through the output tree (archive/output_tree.h), which resolves it beneath the
// output folder at the moment of use, never through a link. Duplicates are restored by
// copying the file just written; every written file's CRC-32 is available for validation
// afterwards; the metadata of an extension is applied last, links after every file and
// folder, folders' modes and times after the links, deepest first.
#include "archive/archive_reader.h"
#include "archive/extension_format.h"
#include "archive/output_tree.h"
#include "archive/stored_names.h"
#include "codec/crc32.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr size_t copyPieceSize = 262144;
constexpr uint64_t holeSize = 4096; // the shortest run of zeros a sparse file gets as a hole
constexpr uint32_t noEntry = 0xFFFFFFFF;
constexpr size_t outputPathCapacity = 1024; // prefix + stored name, terminating NUL included

} // namespace

struct Extraction {
    const Archive* archive = nullptr;
    const std::vector<Entry>* entries = nullptr;
    ExtractOptions options;
    const ExtractCallbacks* callbacks = nullptr;
    bool singleFile = false;
    bool typedOutput = false;  // one-entry archive written to the path the caller gave, as given
    bool typedCreated = false; // ... which this extraction made as a new file
    bool overwriteAll = false; // the answer "all" to an overwrite question
    // The archive's metadata is not at hand (unreadable, or still to come): what is made is
    // for its owner alone until restoreMetadata sets its mode.
    bool ownerOnly = false;
    std::string outputPath;    // single-file mode
    std::string prefix;        // multi-file mode
    OutputTree tree;
    FILE* output = nullptr;  // the file being written
    std::string outputName;  // its path
    size_t outputIndex = 0;  // the entry it is written for
    uint32_t outputCrc = 0;  // CRC-32 of the bytes written to it so far
    size_t lastWritten = 0;  // the entry of the current run of copies last written
    bool runWritten = false; // some entry of the current run was written
    size_t lastSelected = 0; // past it nothing more is written ...
    bool stopEarly = false;  // ... and decoding stops, unless the extension follows the stream
    // CRC-32 of the bytes handed to fwrite for each entry's file, duplicates included.
    std::vector<uint32_t> writtenCrc;
    // The file each entry was written to, as the system identifies it.
    std::vector<FileIdentity> writtenFile;
    std::vector<bool> writtenOnce;
    std::vector<bool> restoredAtClose; // time and mode set as the file was closed
    // From the extension: the owners' numbers here, each entry's hard-link target (noEntry:
    // none), the sparse entries.
    std::vector<std::pair<uint32_t, uint32_t>> ownerIds;
    std::vector<uint32_t> hardLinkTarget;
    std::vector<bool> sparse;
    bool outputSparse = false; // the file being written gets holes ...
    uint64_t pendingZeros = 0; // ... for the zeros not written yet
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

// Entry index's name as the tree walks it: false when nothing is left to walk (or for the
// typed output of a one-entry archive, which is no name below a folder).
bool walkedName(const Extraction& x, size_t index, OutputName& name)
{
    if (x.typedOutput) return false;
    return splitOutputName(x.singleFile ? x.outputPath : (*x.entries)[index].name, name);
}

bool selected(const Extraction& x, size_t index)
{
    return x.options.selected.empty() || x.options.selected[index];
}

// Records follow the selection of entries: all without one, else those the caller selects.
bool recordSelected(const Extraction& x, const std::string& name)
{
    if (x.options.selected.empty()) return true;
    return x.options.selectsRecord && x.options.selectsRecord(name);
}

// After the last selected entry the rest of the stream is not needed.
Error doneWith(const Extraction& x, size_t index)
{
    return index == x.lastSelected && x.stopEarly ? Error(ErrorCode::stopped) : Error();
}

void notRestored(const Extraction& x, const std::string& path, const char* what, const std::string& reason)
{
    if (x.callbacks->notRestored) x.callbacks->notRestored(path, what, reason);
}

// The archive itself is never an output; an existing entry is replaced only when allowed.
Error mayReplace(Extraction& x, const std::string& path, const FileIdentity& existing)
{
    if (sameFile(existing, x.archive->identity)) return Error{ErrorCode::outputIsArchive, path, std::string(), true};
    if (x.options.forceOverwrite || x.overwriteAll) return Error();
    Answer answer = x.callbacks->askOverwrite ? x.callbacks->askOverwrite(path) : Answer::no;
    if (answer == Answer::all) x.overwriteAll = true;
    return answer == Answer::no ? Error{ErrorCode::overwriteDeclined, path} : Error();
}

// The path a caller typed for a one-entry archive is used as given (a device such as
// /dev/stdout is written without a question); only a readable regular file there is asked
// about.
Error openTyped(Extraction& x, FILE*& file)
{
    const std::string& path = x.outputPath;
    if (sameFile(identityOfPath(path), x.archive->identity)) {
        return Error{ErrorCode::outputIsArchive, path, std::string(), true};
    }
    if (FILE* probe = openRead(path)) {
        std::fclose(probe);
        if (!x.options.forceOverwrite && !x.overwriteAll) {
            Answer answer = x.callbacks->askOverwrite ? x.callbacks->askOverwrite(path) : Answer::no;
            if (answer == Answer::no) return Error{ErrorCode::overwriteDeclined, path};
        }
    }
    file = openTypedOutput(path, x.typedCreated, x.ownerOnly);
    if (!file) return systemError(ErrorCode::openSingleOutput, path, true);
    return Error();
}

Error openOutput(Extraction& x, size_t index, FILE*& file)
{
    Error failure;
    if (x.typedOutput) {
        failure = openTyped(x, file);
    } else {
        const std::string path = pathOf(x, index);
        const ErrorCode refused = x.singleFile ? ErrorCode::openSingleOutput : ErrorCode::openOutput;
        OutputName name;
        if (!walkedName(x, index, name)) return Error{refused, path, std::string(), true};
        failure = openOutputFile(
            x.tree, name, path, refused, !x.singleFile,
            [&](const FileIdentity& existing) { return mayReplace(x, path, existing); }, file, x.writtenFile[index]);
    }
    if (failure) return failure;
    if (x.typedOutput) x.writtenFile[index] = identityOfFile(file);
    // Every write is a whole run of decoded bytes or a copy piece: no stdio buffer needed.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return Error();
}

// What is set on one item, and what of its metadata is left out by rule.
struct Planned {
    RestorePlan plan;
    uint32_t withheld = 0; // withheldOptIn, withheldRootOnly
};

void report(const Extraction& x, const std::string& path, const Restored& restored, uint32_t withheld = 0)
{
    // In the order they were set: a refused owner or attribute can explain a refused mode.
    if (!restored.owner) notRestored(x, path, "owner", restored.ownerReason);
    if (!restored.attribute.empty()) {
        notRestored(x, path, "attribute", restored.attribute + ": " + restored.attributeReason);
    }
    if (!restored.time) notRestored(x, path, "time", restored.timeReason);
    if (!restored.mode) notRestored(x, path, "mode", restored.modeReason);
    if (withheld != 0 && x.callbacks->withheld) x.callbacks->withheld(path, withheld);
}

// What to set on an item with this metadata: the owner only as root, by name where the name
// exists here; attributes beyond user.* only when asked for, and those only root may set
// only as root. What a process that is not root leaves out is noted, except an owner that
// is the process's own (what it makes has that owner anyway).
Planned planOf(const Extraction& x, const Metadata& metadata)
{
    const bool root = runningAsRoot();
    Planned planned;
    RestorePlan& plan = planned.plan;
    plan.modifiedNs = metadata.modifiedNs;
    plan.mode = restorableMode(metadata.mode);
    if (!root && (metadata.mode & 06000)) planned.withheld |= withheldRootOnly;
    if (metadata.owner < x.ownerIds.size()) {
        const auto [uid, gid] = x.ownerIds[metadata.owner];
        uint32_t ownUid = 0;
        uint32_t ownGid = 0;
        if (root) {
            plan.withOwner = true;
            plan.uid = uid;
            plan.gid = gid;
        } else if (!processOwner(ownUid, ownGid) || uid != ownUid || gid != ownGid) {
            planned.withheld |= withheldRootOnly;
        }
    }
    plan.attributes = &metadata.attributes;
    if (x.options.allAttributes) plan.attributeKinds |= aclAttribute | (root ? privilegedAttribute : 0);
    for (const Attribute& attribute : metadata.attributes) {
        const AttributeKind kind = attributeKind(attribute.name);
        if (plan.attributeKinds & kind) continue;
        planned.withheld |= kind == privilegedAttribute && !root ? withheldRootOnly : withheldOptIn;
    }
    if (!posixMetadata) planned.withheld = 0; // nothing of the kind exists here
    return planned;
}

// Reads what the extension says of the entries before they are written.
void prepareMetadata(Extraction& x, const Extension& extension)
{
    // Names are looked up only where owners are set (as root), and only for owners in use.
    std::vector<bool> used(extension.owners.size(), false);
    if (runningAsRoot() && posixMetadata) {
        forEachItem(extension, [&](uint8_t, size_t, const Metadata& metadata) {
            if (metadata.owner < used.size()) used[metadata.owner] = true;
        });
    }
    ownerNumbers(extension.owners, used, x.ownerIds);
    x.hardLinkTarget.assign(x.entries->size(), noEntry);
    for (const HardLink& link : extension.hardLinks) x.hardLinkTarget[link.entry] = link.target;
    x.sparse.assign(x.entries->size(), false);
    for (uint32_t entry : extension.sparseEntries) x.sparse[entry] = true;
}

// With the extension at hand, a file's owner, attributes, time and mode are set through the
// handle it was written with, just before it is closed; those of a file another entry is
// copied from (its mode could forbid reading it) wait for the pass after the files.
void restoreAtClose(Extraction& x, size_t index, FILE* file)
{
    const Extension* extension = x.options.extension;
    if (!extension || (*x.entries)[index].duplicate || (x.typedOutput && !x.typedCreated)) return;
    const Planned planned = planOf(x, extension->entries[index]);
    report(x, pathOf(x, index), restoreOpenFile(file, planned.plan), planned.withheld);
    x.restoredAtClose[index] = true;
}

// ---- Writing a file, with holes where a sparse file had them -----------------------------

size_t firstNonZero(const uint8_t* data, size_t count)
{
    size_t i = 0;
    for (uint64_t word; i + 8 <= count; i += 8) {
        std::memcpy(&word, data + i, 8);
        if (word != 0) break;
    }
    while (i < count && data[i] == 0) ++i;
    return i;
}

// Where the next run of zeros that is long enough for a hole, or reaches the end, begins.
size_t nextHole(const uint8_t* data, size_t count)
{
    for (size_t at = 0; at < count;) {
        const void* zero = std::memchr(data + at, 0, count - at);
        if (!zero) return count;
        const size_t start = static_cast<size_t>(static_cast<const uint8_t*>(zero) - data);
        const size_t end = start + firstNonZero(data + start, count - start);
        if (end - start >= holeSize || end == count) return start;
        at = end;
    }
    return count;
}

bool flushZeros(Extraction& x, FILE* file)
{
    static const uint8_t zeros[holeSize] = {};
    bool ok = true;
    if (x.pendingZeros >= holeSize) {
        ok = skipZeros(file, x.pendingZeros);
    } else if (x.pendingZeros > 0) {
        ok = std::fwrite(zeros, 1, static_cast<size_t>(x.pendingZeros), file) == x.pendingZeros;
    }
    x.pendingZeros = 0;
    return ok;
}

bool writeOut(Extraction& x, FILE* file, const uint8_t* data, size_t count)
{
    if (!x.outputSparse) return std::fwrite(data, 1, count, file) == count;
    while (count > 0) {
        const size_t zeros = firstNonZero(data, count);
        x.pendingZeros += zeros;
        data += zeros;
        count -= zeros;
        if (count == 0) break;
        const size_t bytes = nextHole(data, count);
        if (!flushZeros(x, file) || std::fwrite(data, 1, bytes, file) != bytes) return false;
        data += bytes;
        count -= bytes;
    }
    return true;
}

// The end of a file written with holes: one that ends in a hole gets its size.
bool finishOut(Extraction& x, FILE* file, uint64_t size)
{
    if (!x.outputSparse || x.pendingZeros == 0) return true;
    const bool hole = x.pendingZeros >= holeSize;
    x.pendingZeros = hole ? 0 : x.pendingZeros;
    return hole ? endFileAt(file, size) : flushZeros(x, file);
}

void beginOut(Extraction& x, size_t index)
{
    x.outputSparse = index < x.sparse.size() && x.sparse[index];
    x.pendingZeros = 0;
}

Error closeOutput(FILE* file, const std::string& path)
{
    if (std::fclose(file) != 0) return streamError(ErrorCode::writeOutput, path, true);
    return Error();
}

// Restores entry index, a duplicate of source, by copying the file source was written to.
Error copyFile(Extraction& x, size_t index, size_t source)
{
    std::string sourcePath = pathOf(x, source);
    OutputName name;
    clearFailure();
    FILE* from = walkedName(x, source, name) ? readOutputFile(x.tree, name, x.writtenFile[source]) : nullptr;
    if (!from) return systemError(ErrorCode::openInput, sourcePath, true);
    std::string targetPath = pathOf(x, index);
    FILE* target = nullptr;
    if (Error failure = openOutput(x, index, target)) {
        std::fclose(from);
        return failure;
    }
    std::unique_ptr<uint8_t[]> piece(new uint8_t[copyPieceSize]);
    size_t got;
    Error failure; // the first, with its reason taken right after the call that failed
    uint32_t crc = 0;
    beginOut(x, index);
    while (!failure && (got = std::fread(piece.get(), 1, copyPieceSize, from)) > 0) {
        if (!writeOut(x, target, piece.get(), got)) failure = streamError(ErrorCode::writeOutput, targetPath, true);
        crc = crc32Update(crc, piece.get(), got);
    }
    if (!failure && !finishOut(x, target, (*x.entries)[index].size)) {
        failure = streamError(ErrorCode::writeOutput, targetPath, true);
    }
    x.writtenCrc[index] = crc;
    if (!failure && std::ferror(from)) failure = streamError(ErrorCode::readInput, sourcePath, true);
    std::fclose(from);
    if (!failure) restoreAtClose(x, index, target);
    Error closed = closeOutput(target, targetPath);
    return failure ? failure : closed;
}

// Restores entry index as a hard link of its target when the extension says it was one and
// this extraction wrote the target (linked tells). A system that refuses leaves it to a
// copy, and it is reported.
Error linkHardly(Extraction& x, size_t index, bool& linked)
{
    linked = false;
    if (index >= x.hardLinkTarget.size() || x.hardLinkTarget[index] == noEntry) return Error();
    const size_t target = x.hardLinkTarget[index];
    OutputName name;
    OutputName targetName;
    if (!x.writtenFile[target].valid || !walkedName(x, index, name) || !walkedName(x, target, targetName)) {
        return Error();
    }
    const std::string path = pathOf(x, index);
    std::string refusal;
    Error failure = makeOutputHardLink(
        x.tree, name, path, targetName, x.writtenFile[target],
        [&](const FileIdentity& existing) {
            // The copy this extraction wrote a moment ago (an archive from a pipe) gives way.
            return sameFile(existing, x.writtenFile[index]) ? Error() : mayReplace(x, path, existing);
        },
        linked, refusal);
    if (failure) return failure;
    if (!linked) {
        notRestored(x, path, "hard link", refusal);
        return Error();
    }
    x.writtenFile[index] = x.writtenFile[target];
    x.writtenCrc[index] = x.writtenCrc[target];
    x.restoredAtClose[index] = true; // one file: its target's time and mode are its own
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
        if (Error failure = openOutput(x, target, x.output)) return failure;
        x.outputCrc = 0;
        beginOut(x, target);
        return Error();
    };
    callbacks.bytes = [&x](size_t, const uint8_t* data, size_t count) {
        if (!x.output) return Error();
        if (!writeOut(x, x.output, data, count)) {
            return streamError(ErrorCode::writeOutput, x.outputName, true);
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
        if (!finishOut(x, done, (*x.entries)[x.outputIndex].size)) {
            std::fclose(done);
            return Error{ErrorCode::writeOutput, x.outputName, std::string(), true};
        }
        restoreAtClose(x, x.outputIndex, done);
        if (Error failure = closeOutput(done, x.outputName)) return failure;
        return doneWith(x, x.outputIndex);
    };
    callbacks.abandon = [&x](size_t) {
        if (!x.output) return;
        std::fclose(x.output);
        x.output = nullptr;
        OutputName name;
        if (!x.typedOutput && walkedName(x, x.outputIndex, name)) {
            removeOutputFile(x.tree, name, x.writtenFile[x.outputIndex]);
        } else if (x.typedOutput && x.typedCreated) {
            removeFile(x.outputPath); // made new by this extraction: nothing of it is kept
        }
        x.writtenFile[x.outputIndex] = FileIdentity();
    };
    callbacks.copy = [&x](size_t index, size_t) {
        if (!selected(x, index) || (x.runWritten && x.lastWritten == index)) return doneWith(x, index);
        bool linked = false;
        if (Error failure = linkHardly(x, index, linked)) return failure;
        if (!linked) {
            if (Error failure = copyFile(x, index, x.lastWritten)) return failure;
        }
        x.lastWritten = index;
        return doneWith(x, index);
    };
    return callbacks;
}

// One file and nothing else: its folder, links, FIFOs and devices make a tree like any other.
bool oneFileArchive(const std::vector<Entry>& entries, const Extension* extension)
{
    return entries.size() == 1 && (!extension || (extension->folders.empty() && extension->links.empty() &&
                                                  extension->specials.empty() && extension->hardLinks.empty()));
}

// Single-file mode with a path from the caller: that path. Without one: the stored name
// without leading dots and separators, below the current folder, whose folders must exist.
// Multi-file mode: below the caller's folder (made when missing) or the current one.
void chooseOutputLocation(Extraction& x, const char* output)
{
    x.typedOutput = x.singleFile && output;
    if (x.typedOutput) {
        x.outputPath = output;
        return;
    }
    if (x.singleFile) {
        const std::string& name = (*x.entries)[0].name;
        size_t i = 0;
        while (i < name.size() && name[i] == '.') ++i;
        while (i < name.size() && isPathSeparator(name[i])) ++i;
        x.outputPath = name.substr(i);
        return;
    }
    x.prefix = output ? output : currentFolderPrefix();
    x.tree.rootPath = x.prefix;
    x.tree.createRoot = true;
}

Error namesAllowed(const std::vector<Entry>& entries, bool single)
{
    for (const Entry& entry : entries) {
        if (Error refused = checkName(entry, single)) return refused;
    }
    return Error();
}

// The first failure of check over the names of the folder and link records.
template <class Check>
Error forEachRecord(const Extension& extension, Check check)
{
    for (const FolderRecord& folder : extension.folders) {
        if (Error refused = check(folder.name)) return refused;
    }
    for (const LinkRecord& link : extension.links) {
        if (Error refused = check(link.name)) return refused;
    }
    return Error();
}

Error pathsFit(const Extraction& x, const Extension* extension)
{
    for (size_t i = 0; i < x.entries->size(); ++i) {
        if (!selected(x, i)) continue;
        std::string path = pathOf(x, i);
        if (path.size() >= outputPathCapacity) return Error{ErrorCode::pathTooLong, path};
    }
    if (!extension || x.singleFile) return Error();
    return forEachRecord(*extension, [&](const std::string& name) {
        std::string path = x.prefix + name;
        return path.size() >= outputPathCapacity ? Error(ErrorCode::pathTooLong, path) : Error();
    });
}

// No folder below the output folder on the way to a selected output may be a link standing
// before extraction (the walk would stop there later, after other files were written). The
// output folder itself, as the caller named it, may be a link.
Error pathsAvoidLinks(Extraction& x, const Extension* extension)
{
    if (x.typedOutput) return Error();
    std::set<std::string> checked;
    auto check = [&](const OutputName& name, size_t count, const std::string& path) {
        if (count == 0 || !checked.insert(name.key(count)).second) return Error();
        const HeldFolder* folder = nullptr;
        return walkTo(x.tree, name, count, false, folder) == Walk::link ? Error(ErrorCode::outputThroughLink, path)
                                                                        : Error();
    };
    for (size_t i = 0; i < x.entries->size(); ++i) {
        OutputName name;
        if (!selected(x, i) || !walkedName(x, i, name)) continue;
        if (Error failure = check(name, name.components.size() - 1, pathOf(x, i))) return failure;
    }
    if (!extension || x.singleFile) return Error();
    for (const FolderRecord& folder : extension->folders) {
        OutputName name;
        if (!recordSelected(x, folder.name) || !splitOutputName(folder.name, name)) continue;
        if (Error failure = check(name, name.components.size(), x.prefix + folder.name)) return failure;
    }
    for (const LinkRecord& link : extension->links) {
        OutputName name;
        if (!recordSelected(x, link.name) || !splitOutputName(link.name, name)) continue;
        if (Error failure = check(name, name.components.size() - 1, x.prefix + link.name)) return failure;
    }
    return Error();
}

// ---- Metadata --------------------------------------------------------------------------

// The folder records selected, as the tree walks them (their names were checked).
std::vector<std::pair<const FolderRecord*, OutputName>> selectedFolders(const Extraction& x, const Extension& extension)
{
    std::vector<std::pair<const FolderRecord*, OutputName>> folders;
    for (const FolderRecord& folder : extension.folders) {
        OutputName name;
        if (recordSelected(x, folder.name) && splitOutputName(folder.name, name)) folders.emplace_back(&folder, name);
    }
    return folders;
}

Error createRecordedFolders(Extraction& x, const Extension& extension)
{
    if (x.singleFile) return Error();
    for (const auto& [folder, name] : selectedFolders(x, extension)) {
        const std::string path = x.prefix + folder->name;
        bool made = false;
        std::string refusal;
        if (Error failure = makeOutputFolder(x.tree, name, path, made, refusal)) return failure;
        if (!made) notRestored(x, path, "folder", refusal);
    }
    return Error();
}

// The plan of written file index. A sparse file written whole, before the extension said it
// was sparse (an archive from a pipe, whose extension follows the stream), gets its holes made
// when its metadata is set.
Planned filePlanOf(const Extraction& x, size_t index, const Metadata& metadata)
{
    Planned planned = planOf(x, metadata);
    if (!x.options.extension && index < x.sparse.size() && x.sparse[index]) planned.plan.holeBlock = holeSize;
    return planned;
}

// The typed output of a one-entry archive gets the stored metadata only when this extraction
// made it as a new file.
void restoreTyped(const Extraction& x, const Metadata& metadata)
{
    if (!x.typedCreated) return;
    const std::string& path = x.outputPath;
    size_t cut = path.size();
    while (cut > 0 && !isPathSeparator(path[cut - 1])) --cut;
    HeldFolderPtr folder = holdFolder(cut == 0 ? std::string() : path.substr(0, cut), false);
    const Planned planned = filePlanOf(x, 0, metadata);
    Restored restored;
    if (folder) {
        restored = restoreBelow(*folder, path.substr(cut), x.writtenFile[0], planned.plan);
    } else {
        restored = nothingRestored(planned.plan, lastFailureReason());
    }
    report(x, path, restored, planned.withheld);
}

// FIFOs and device nodes, after the files: made, then given their metadata.
Error createSpecials(Extraction& x, const Extension& extension)
{
    for (const SpecialRecord& special : extension.specials) {
        OutputName name;
        if (!recordSelected(x, special.name) || !splitOutputName(special.name, name)) continue;
        const std::string path = x.prefix + special.name;
        if (special.kind != SpecialKind::fifo && !runningAsRoot()) {
            notRestored(x, path, "device", "devices are made by root only");
            continue;
        }
        FileIdentity made;
        std::string refusal;
        Error failure = makeOutputSpecial(
            x.tree, name, path, special, [&](const FileIdentity& existing) { return mayReplace(x, path, existing); },
            made, refusal);
        if (failure) return failure;
        if (!made.valid) {
            notRestored(x, path, special.kind == SpecialKind::fifo ? "fifo" : "device", refusal);
            continue;
        }
        const Planned planned = planOf(x, special.metadata);
        report(x, path, restoreOutputFile(x.tree, name, made, planned.plan), planned.withheld);
    }
    return Error();
}

// Everything of the metadata that comes after the files: their metadata, hard links not made
// yet (an archive from a pipe: the copies give way), FIFOs and devices, the links, then the
// folders' metadata, deepest first (a folder made read-only takes nothing more).
Error restoreAfterFiles(Extraction& x, const Extension& extension)
{
    for (size_t i = 0; i < x.entries->size() && i < extension.entries.size(); ++i) {
        if (!selected(x, i) || !x.writtenFile[i].valid || x.restoredAtClose[i]) continue;
        bool linked = false;
        if (Error failure = linkHardly(x, i, linked)) return failure;
        if (linked) continue;
        if (x.typedOutput) {
            restoreTyped(x, extension.entries[i]);
            continue;
        }
        OutputName name;
        const Planned planned = filePlanOf(x, i, extension.entries[i]);
        Restored restored = nothingRestored(planned.plan, "no name left");
        if (walkedName(x, i, name)) restored = restoreOutputFile(x.tree, name, x.writtenFile[i], planned.plan);
        report(x, pathOf(x, i), restored, planned.withheld);
    }
    if (x.singleFile) return Error();
    if (Error failure = createSpecials(x, extension)) return failure;
    for (const LinkRecord& link : extension.links) {
        OutputName name;
        if (!recordSelected(x, link.name) || !splitOutputName(link.name, name)) continue;
        const std::string path = x.prefix + link.name;
        bool made = false;
        std::string refusal;
        Error failure = makeOutputLink(
            x.tree, name, path, link, [&](const FileIdentity& existing) { return mayReplace(x, path, existing); }, made,
            refusal);
        if (failure) return failure;
        if (!made) {
            notRestored(x, path, "link", refusal);
        } else {
            const Planned planned = planOf(x, link.metadata);
            report(x, path, restoreOutputLink(x.tree, name, planned.plan), planned.withheld);
        }
    }
    auto folders = selectedFolders(x, extension);
    std::stable_sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return a.second.components.size() > b.second.components.size();
    });
    // A folder that stood there before keeps its own, unless overwriting is allowed.
    const bool existingToo = x.options.forceOverwrite || x.overwriteAll;
    for (const auto& [folder, name] : folders) {
        if (!existingToo && !x.tree.createdFolders.count(name.key())) continue;
        const Planned planned = planOf(x, folder->metadata);
        report(x, x.prefix + folder->name, restoreOutputFolder(x.tree, name, planned.plan, existingToo),
               planned.withheld);
    }
    return Error();
}

// Folders made owner-only while the metadata was still to come that it has no record of (the
// parents of what a selection picked, or of names the archive lists without their folders)
// get the mode any new folder gets; their times are not touched.
void widenUnrecordedFolders(Extraction& x, const Extension& extension)
{
    std::set<std::string> recorded;
    for (const auto& [folder, name] : selectedFolders(x, extension)) recorded.insert(name.key());
    RestorePlan plan;
    plan.withTime = false;
    plan.mode = defaultFolderMode();
    plan.attributeKinds = 0;
    for (const auto& [key, identity] : x.tree.createdFolders) {
        OutputName name;
        if (recorded.count(key) || !splitOutputName(key, name)) continue;
        const std::string path = x.prefix + (!x.prefix.empty() && isPathSeparator(x.prefix.back()) ? "" : "/") + key;
        report(x, path, restoreOutputFile(x.tree, name, identity, plan));
    }
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

// Everything that can refuse the extraction, checked before anything is written.
Error checkBeforeWriting(Extraction& x, const ExtractOptions& options)
{
    if (options.output && options.output[0] == '\0') return Error(ErrorCode::emptyOutputPath);
    if (Error failure = tableMatchesStream(*x.entries, x.archive->header.storedTotal)) return failure;
    x.singleFile = oneFileArchive(*x.entries, options.extension);
    if (Error failure = namesAllowed(*x.entries, x.singleFile)) return failure;
    if (options.extension) {
        if (Error failure = checkExtension(*x.entries, *options.extension)) return failure;
    }
    chooseOutputLocation(x, options.output);
    if (Error failure = pathsFit(x, options.extension)) return failure;
    return pathsAvoidLinks(x, options.extension);
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
    if (Error failure = checkBeforeWriting(x, options)) return failure;
    x.ownerOnly = !options.extension && hasExtension(archive) && posixMetadata;
    x.tree.ownerOnly = x.ownerOnly;
    if (options.extension) {
        if (Error failure = createRecordedFolders(x, *options.extension)) return failure;
    }
    x.writtenCrc.assign(entries.size(), 0);
    x.writtenFile.assign(entries.size(), FileIdentity());
    x.restoredAtClose.assign(entries.size(), false);
    if (options.extension) prepareMetadata(x, *options.extension);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (selected(x, i)) x.lastSelected = i;
    }
    // An extension that follows the stream is found only at the stream's end.
    x.stopEarly = !options.selected.empty() && !extensionFollowsStream(archive);

    uint32_t t0 = clockMs();
    ChunkDamage damage;
    if (callbacks.damaged) {
        damage = [&](uint32_t chunk, const char* what, const std::vector<size_t>& within) {
            callbacks.damaged(chunk, what, within);
        };
    }
    Error result =
        decodeEntries(archive, entries, options.threads, callbacks.chunk, fileWriting(x), &options.selected, damage);
    x.milliseconds = clockMs() - t0;
    if (result.code == ErrorCode::stopped && x.stopEarly) result = Error();
    if (result) return result;
    x.writtenOnce = filesWrittenOnce(x);
    if (options.extension) return restoreAfterFiles(x, *options.extension);
    return Error();
}

Error restoreMetadata(Extraction& x, const Extension& extension)
{
    if (Error failure = checkExtension(*x.entries, extension)) return failure;
    if (Error failure = pathsFit(x, &extension)) return failure;
    if (Error failure = pathsAvoidLinks(x, &extension)) return failure;
    if (Error failure = createRecordedFolders(x, extension)) return failure;
    prepareMetadata(x, extension);
    if (Error failure = restoreAfterFiles(x, extension)) return failure;
    if (x.ownerOnly) widenUnrecordedFolders(x, extension);
    return Error();
}

// The bytes handed to fwrite were hashed on their way out and the file was closed without
// error, so a file written once, still there with its size, holds them. Any other is read
// back: that reports a missing file and the checksum of what is there now, as a later write
// left it.
Error writtenCrc(const Extraction& x, size_t index, uint32_t& crc)
{
    std::string path = pathOf(x, index);
    Extraction& self = const_cast<Extraction&>(x); // the tree's held folders change as it walks
    FILE* file = nullptr;
    if (x.typedOutput) {
        int64_t size = 0;
        if (x.writtenOnce[index] && querySize(path, size) && static_cast<uint64_t>(size) == (*x.entries)[index].size) {
            crc = x.writtenCrc[index];
            return Error();
        }
        clearFailure();
        file = openRead(path);
    } else if (OutputName name; walkedName(x, index, name)) {
        const EntryState now = outputState(self.tree, name);
        if (x.writtenOnce[index] && now.kind == EntryKind::file && sameFile(now.identity, x.writtenFile[index]) &&
            static_cast<uint64_t>(now.size) == (*x.entries)[index].size) {
            crc = x.writtenCrc[index];
            return Error();
        }
        clearFailure();
        file = readOutputFile(self.tree, name, FileIdentity()); // whatever file stands there now
    }
    if (!file) return systemError(ErrorCode::openInput, path);
    const Error unreadable = crc32OfFile(file, crc) ? Error() : systemError(ErrorCode::readInput, path);
    std::fclose(file);
    return unreadable;
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
