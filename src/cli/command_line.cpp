#include "cli/command_line.h"

#include "cli/archive_commands.h"
#include "cli/archive_output.h"
#include "cli/messages.h"
#include "cli/recovery_commands.h"
#include "cli/run_options.h"
#include "cli/seal_commands.h"
#include "cli/sfx.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "console/prompt.h"
#include "input/discovery.h"
#include "input/duplicates.h"
#include "input/hash_file.h"
#include "input/input_metadata.h"
#include "input/input_records.h"
#include "input/ordering.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace qv5 {

namespace {

constexpr uint64_t compressionModelKb = 29187;

const char* const usageText =
    "Usage:\nCompression: %s [flags] c archive [input files/folders]\nList contents: %s l archive\n"
    "Decompression: %s [flags] d archive [output single file/folder]\n\nOptions:\n"
    "c[1-6] = compress [optional level, default: 2]\nd = decompress\n\nFlags:\n"
    "-r[0-2] = re-order files (path (default)/ext + size bin/content analysis\n"
    "-sfx = Create self-extracting .exe\n-force-overwrite = Overwrite files without warning\n";

// Our own part of the help, after the usage text: what the program offers beyond it.
const char* const moreUsageText =
    "\nMore commands and flags:\n"
    "t archive = test: decode everything and check every CRC32, write nothing\n"
    "d archive output pattern... = extract only the entries the patterns select (* and ?; a folder\n"
    "  selects everything below it); t archive pattern... tests only those\n"
    "d archive - [pattern...] = write the files' bytes to standard output, in archive order (a stored\n"
    "  link: the bytes of what it leads to in the archive)\n"
    "l archive pattern... = list only the entries the patterns select\n"
    "Flags may also follow the command word, up to the archive path (l -v archive); -- ends them\n"
    "-v = with l: one line per item with its type, mode, owner, size, time and name, + after the mode\n"
    "  of one with extended attributes; -vv (or -v -v) also lists their names\n"
    "- as archive = standard output (c) or standard input (l, d, t); messages then go to standard error\n"
    "-tN = use N threads (N from 1; default and most used: one per core); the archive is the same\n"
    "  for every N\n"
    "-quiet = print only errors, questions, the files that failed and the count of invalid checksums\n"
    "-exclude=PATTERN = leave out files and folders whose name or stored path matches (c, repeatable)\n"
    "-dotfolders = also walk folders whose names begin with '.' (c)\n"
    "-meta = also store times, permissions, empty folders and links (c); d restores them\n"
    "-fullpaths = store each input under its path as typed, not its last name alone (c)\n"
    "-xattrs = also restore ACLs and, as root, capabilities and security and trusted attributes (d)\n"
    "-protect=N = add recovery data of N% (1-50) that repairs damage (c); t checks it\n"
    "r archive output = repair: write the archive rebuilt from its recovery data to a new file\n"
    "-encrypt = seal the archive (c): names and contents encrypted and authenticated; the passphrase\n"
    "  is asked twice, or is the first line of -password-file=PATH; -recipient=FILE (repeatable)\n"
    "  seals it to public keys instead\n"
    "k keyfile = write a new secret key to keyfile and its public key to keyfile.pub\n"
    "-identity=KEYFILE = open a sealed archive with a secret key (l, t, d); -password-file=PATH reads\n"
    "  its passphrase from a file\n"
    "--help, -h, -? = this text; --version = the version\n";

const char* const versionText = "qv5 0.1.0\n";

// The archive path "-": the archive travels on standard output (c) or standard input (l, d,
// t). Never a terminal: an archive there is neither readable nor meant to be typed.
bool isStandardStream(const std::string& archivePath)
{
    return archivePath == "-";
}

// What reading the flags has to say, printed once the console is set up: the echo of a flag
// (dropped when quiet), or the warning about one the program does not know (always shown).
struct FlagEcho {
    std::string text;
    bool warning = false;
};

// Flags that are the program's but set nothing here: help and version (alone they are
// commands).
bool isOtherKnownFlag(const std::string& flag)
{
    return flag == "--help" || flag == "-h" || flag == "-?" || flag == "--version";
}

// -t, alone or followed by a digit, a sign or '=': the thread flag, whatever its value. A
// word of -t followed by anything else is another flag.
bool isThreadFlag(const std::string& flag)
{
    return flag.size() >= 2 && flag[1] == 't' &&
           (flag.size() == 2 || std::string_view("0123456789+-=").find(flag[2]) != std::string_view::npos);
}

// The thread count of -tN: a whole number from 1 up (above 64 it is 64); 0 when the value is
// no such number.
int32_t threadCountOf(const std::string& flag)
{
    if (flag.size() < 3 || flag.find_first_not_of("0123456789", 2) != std::string::npos) return 0;
    if (flag.find_first_not_of('0', 2) == std::string::npos) return 0;
    return flag.size() > 4 ? 64 : std::min(std::atoi(flag.c_str() + 2), 64);
}

// Removes the flags that stand at args[at] on into options; echoes holds what each flag
// reports, in order. Before the command word (at 1; position 0 is the program name) every
// word beginning with '-' is a flag, as ever; after it (at 2) "-" alone is the archive path,
// the standard stream. "--" ends the flags: true when it did. Every flag beginning with -r is
// the ordering flag. An unknown flag is named and otherwise ignored.
bool readFlags(std::vector<std::string>& args, size_t at, RunOptions& options, std::vector<FlagEcho>& echoes)
{
    while (args.size() > at && !args[at].empty() && args[at][0] == '-' && (at == 1 || args[at] != "-")) {
        const std::string given = args[at];
        std::string flag = lowerAscii(given);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(at));
        if (flag == "--") return true;
        bool known = isOtherKnownFlag(flag);
        if (flag == "-force-overwrite") {
            options.forceOverwrite = true;
            echoes.push_back({"Force overwrite: true\n"});
            known = true;
        }
        if (flag == "-sfx") {
            options.createSfx = true;
            echoes.push_back({"Create SFX exe: true\n"});
            known = true;
        }
        if (flag == "-quiet") {
            options.quiet = true;
            known = true;
        }
        if (flag == "-meta") {
            options.metadata = true;
            echoes.push_back({"Store metadata: true\n"});
            known = true;
        }
        if (flag == "-dotfolders") {
            options.dotFolders = true;
            known = true;
        }
        if (flag.rfind("-exclude=", 0) == 0) {
            options.excludes.push_back(given.substr(9)); // the pattern keeps its case
            known = true;
        }
        if (flag == "-v" || flag == "-vv") {
            options.attributeNames = options.attributeNames || options.verbose || flag == "-vv";
            options.verbose = true;
            known = true;
        }
        if (flag == "-xattrs") {
            options.allAttributes = true;
            known = true;
        }
        if (flag == "-protect" || flag.rfind("-protect=", 0) == 0) {
            const ProtectFlag protect = readProtectFlag(flag.size() > 9 ? flag.substr(9) : std::string());
            options.protectPercent = protect.percent;
            options.protectInvalid = protect.valid ? std::string() : given;
            known = true;
        }
        if (flag == "-encrypt") {
            options.encrypt = true;
            known = true;
        }
        if (flag.rfind("-password-file=", 0) == 0) {
            options.passwordFile = given.substr(15);
            known = true;
        }
        if (flag.rfind("-recipient=", 0) == 0) {
            options.recipientFiles.push_back(given.substr(11));
            known = true;
        }
        if (flag.rfind("-identity=", 0) == 0) {
            options.identityFile = given.substr(10);
            known = true;
        }
        if (flag == "-fullpaths") {
            options.fullPaths = true;
            known = true;
        }
        if (isThreadFlag(flag)) {
            options.threadCount = threadCountOf(flag);
            options.threadsInvalid = options.threadCount > 0 ? std::string() : given;
            known = true;
        }
        if (flag.size() >= 2 && flag[1] == 'r') {
            int method = flag.size() >= 3 ? flag[2] - '0' : 0;
            if (method < 0) method = 0;
            if (method > 2) method = 2;
            echoes.push_back({"Re-order files method: " + std::to_string(method) + "\n"});
            options.orderMethod = method;
            known = true;
        }
        if (!known) echoes.push_back({"Warning: unknown flag " + printable(given) + " ignored\n", true});
    }
    return false;
}

// c, c1..c6: the digit after the c, clamped; c alone is c2.
int32_t levelFromCommandWord(const std::string& word)
{
    if (word.size() < 2) return 2;
    return std::clamp(word[1] - '0', 1, 6);
}

// The first item whose stored name an earlier item already has is the clash reported, as
// a scan of every earlier item would report it. A file whose stored name is a folder of
// another stored name ("/x" beside "/x/y") clashes too: both could never be extracted.
// Where names are compared as the file system compares them (Windows: case, trailing dots
// and spaces), two spellings of one place clash too.
bool namesAreUnique(const InputList& list)
{
    std::vector<std::string> comparable; // the names as compared, where they differ from the stored ones
    if (windowsNames) {
        comparable.reserve(list.size());
        for (const SourceItem& item : list) {
            std::string key;
            size_t start = 0;
            while (start <= item.storedName.size()) {
                size_t end = item.storedName.find_first_of("\\/", start);
                if (end == std::string::npos) end = item.storedName.size();
                key += comparableName(item.storedName.substr(start, end - start));
                if (end < item.storedName.size()) key += '/';
                start = end + 1;
            }
            comparable.push_back(std::move(key));
        }
    }
    auto nameOf = [&](size_t k) -> std::string_view { return windowsNames ? comparable[k] : list[k].storedName; };
    std::unordered_set<std::string_view> names;
    names.reserve(list.size());
    for (size_t k = 0; k < list.size(); ++k) {
        if (!names.insert(nameOf(k)).second) {
            tell("Error: %s is already in the archive\n", printable(list[k].storedName).c_str());
            return false;
        }
    }
    for (size_t k = 0; k < list.size(); ++k) {
        const std::string_view name = nameOf(k);
        for (size_t at = name.find_first_of("\\/", 1); at != std::string_view::npos;
             at = name.find_first_of("\\/", at + 1)) {
            if (names.count(name.substr(0, at))) {
                // As stored: as many components as the compared spelling has before at.
                const std::string& stored = list[k].storedName;
                size_t cut = 0;
                for (size_t n = std::count(name.begin(), name.begin() + at, '/') + std::count(name.begin(), name.begin() + at, '\\');
                     n > 0; --n) {
                    cut = stored.find_first_of("\\/", cut + 1);
                }
                tell("Error: %s is already in the archive\n", printable(stored.substr(0, cut)).c_str());
                return false;
            }
        }
    }
    return true;
}

// "Warning: PATH: REASON": something c leaves out (or keeps in part) unasked.
void warnLeftOut(const std::string& path, const std::string& reason)
{
    tell("Warning: %s: %s\n", printable(path).c_str(), printable(reason).c_str());
}

// Measures every entry and stores its CRC-32 (and, with metadata, its time and mode), with a
// progress line on large files. What cannot be read is listed in unreadable.
InputError measureAndHash(std::vector<FileEntry>& entries, bool withMetadata, int32_t threads,
                          std::vector<std::pair<size_t, InputError>>& unreadable)
{
    const int total = static_cast<int>(entries.size());
    InputError failure = hashEntries(
        entries, withMetadata, threads,
        [&](size_t k, uint64_t hashed) {
            char text[progressTextSize];
            std::snprintf(text, sizeof text, "File %d/%d, hashed %s", static_cast<int>(k) + 1, total,
                          FormatNumber(hashed, true));
            ProgressLine::show(text);
        },
        &unreadable);
    if (!failure) ProgressLine::clear();
    return failure;
}

// The ordering scans show "Scanning %d/%d" and blank the line when done.
ScanReport scanReport()
{
    ScanReport report;
    report.scanning = [](size_t item, size_t total) {
        char text[progressTextSize];
        std::snprintf(text, sizeof text, "Scanning %d/%d", static_cast<int>(item), static_cast<int>(total));
        ProgressLine::show(text);
    };
    report.scanned = ProgressLine::blank;
    return report;
}

int32_t writeArchiveFile(const std::string& archivePath, const std::vector<NewEntry>& entries,
                         const RunOptions& options, const Extension* extension);

// An existing archive at the archive path is never part of its own input set: it would be
// read while it is overwritten. Identity, not spelling, decides. With "-" the archive is
// whatever standard output writes to (a file the shell opened in the input tree, say), never
// a file that happens to be named "-".
void leaveOutArchive(InputList& list, const std::string& archivePath)
{
    FileIdentity archive = isStandardStream(archivePath) ? identityOfFile(stdout) : identityOfPath(archivePath);
    if (!archive.valid) return;
    std::erase_if(list, [&](const SourceItem& item) { return sameFile(identityOfPath(item.sourcePath), archive); });
}

// ---- c, step by step: discover, check, measure and hash, write ----------------------------

// What c is asked to write can be written: recovery data of a whole percentage, and only
// where it can be added; on standard output (the archive path "-") never a self-extracting
// archive, and never to a terminal. False after a message.
bool outputUsable(const std::string& archivePath, const RunOptions& options)
{
    if (archivePath.empty()) {
        tell("Error: empty archive path\n");
        return false;
    }
    if (!options.protectInvalid.empty()) {
        tell("Error: %s: the recovery data is a whole percentage from 1 to 50\n",
             printable(options.protectInvalid).c_str());
        return false;
    }
    if (options.protectPercent > 0 && !canProtect(archivePath)) return false;
    if (!isStandardStream(archivePath)) return true;
    if (options.createSfx) {
        tell("Error: a self-extracting archive cannot be written to standard output\n");
        return false;
    }
    if (isTerminal(stdout)) {
        tell("Error: standard output is a terminal; redirect it to write the archive there\n");
        return false;
    }
    return true;
}

// The folders below the inputs that were not walked for their leading '.': how many, and the
// first three.
void sayDotFoldersSkipped(const std::vector<std::string>& folders)
{
    if (folders.empty()) return;
    std::string names;
    for (size_t i = 0; i < folders.size() && i < 3; ++i) names += (i > 0 ? ", " : "") + printable(folders[i]);
    if (folders.size() > 3) names += ", ...";
    if (folders.size() == 1) {
        say("Skipped 1 folder whose name begins with '.' (-dotfolders includes it): %s\n", names.c_str());
    } else {
        say("Skipped %d folders whose names begin with '.' (-dotfolders includes them): %s\n",
            static_cast<int>(folders.size()), names.c_str());
    }
}

// What the inputs stand for.
struct Discovered {
    InputList list;
    ExtraList extras;     // folders, links and special files, with metadata
    bool leftOut = false; // something was left out unasked (and said): the status is 1
};

// "Finding files...", a warning for everything left out unasked, in the order met, then the
// files found. False after a message when none is left, or discovery failed.
bool discoverInputs(const std::vector<std::string>& args, const RunOptions& options, Discovered& found)
{
    say("Finding files...\n");
    DiscoveryOptions discovery;
    discovery.excludes = options.excludes;
    discovery.dotFolders = options.dotFolders;
    discovery.metadata = options.metadata;
    discovery.fullPaths = options.fullPaths;
    std::vector<LeftOut> leftOut;
    std::vector<std::string> dotFolders;
    for (size_t i = 3; i < args.size(); ++i) {
        const size_t told = leftOut.size();
        InputError failure = findInputs(found.list, args[i], discovery, &found.extras, &leftOut, &dotFolders);
        for (size_t k = told; k < leftOut.size(); ++k) {
            tell("Warning: %s: %s\n", printable(leftOut[k].path).c_str(), printable(leftOut[k].reason).c_str());
        }
        if (failure) {
            printError(failure);
            return false;
        }
    }
    found.leftOut = !leftOut.empty();
    leaveOutArchive(found.list, args[2]);
    for (const SourceItem& item : found.list) say("-> %s\n", printable(item.storedName).c_str());
    const size_t n = found.list.size();
    if (n == 1) {
        say("Found %d file\n", 1);
    } else {
        say("Found %d files\n", static_cast<int>(n));
    }
    sayDotFoldersSkipped(dotFolders);
    if (n == 0) {
        tell("Error: no input files\n");
        return false;
    }
    return true;
}

// The inputs ordered, then checked before anything is read: no stored name twice. The
// entries take the list's names, in its order. False after a message.
bool checkInputs(InputList& list, const RunOptions& options, std::vector<FileEntry>& entries)
{
    say("Scanning, ordering and hashing files...\n");
    entries.resize(list.size());
    orderInputs(list, options.orderMethod, scanReport());
    if (!namesAreUnique(list)) return false;
    for (size_t k = 0; k < list.size(); ++k) {
        entries[k].storedName = std::move(list[k].storedName);
        entries[k].sourcePath = std::move(list[k].sourcePath);
    }
    InputList().swap(list); // the entries hold the names now
    return true;
}

// Every entry measured and hashed (with metadata, its time and mode read too), then the
// copies of other entries marked. A file that cannot be read is named and left out (leftOut
// set). False after a message when none is left.
bool measureInputs(std::vector<FileEntry>& entries, const RunOptions& options, bool& leftOut)
{
    std::vector<std::pair<size_t, InputError>> unreadable;
    if (InputError failure = measureAndHash(entries, options.metadata, options.threadCount, unreadable)) {
        printError(failure);
        return false;
    }
    std::vector<std::string> gone;
    for (const auto& [k, failure] : unreadable) {
        warnLeftOut(failure.path, failure.reason);
        gone.push_back(entries[k].sourcePath);
    }
    removeEntries(entries, gone);
    leftOut = leftOut || !gone.empty();
    if (entries.empty()) {
        tell("Error: no input files\n");
        return false;
    }
    say("Ordered files\n");
    const size_t n = entries.size();
    if (n > 1) {
        say("Checking duplicates... ");
        std::fflush(consoleStream());
        int64_t marked = 0;
        std::vector<InputError> unread;
        if (InputError failure = findDuplicates(entries, marked, &unread)) {
            printError(failure);
            return false;
        }
        say("%d/%d\n", static_cast<int>(marked), static_cast<int>(n));
        gone.clear();
        for (const InputError& failure : unread) {
            warnLeftOut(failure.path, failure.reason);
            gone.push_back(failure.path);
        }
        removeEntries(entries, gone);
        leftOut = leftOut || !gone.empty();
    }
    return true;
}

// The archive of the entries, with their metadata when asked for; the status (1 also when
// something was left out or stored otherwise than found: said).
int32_t writeInputs(const std::string& archivePath, std::vector<FileEntry>& entries, const ExtraList& extras,
                    const RunOptions& options)
{
    // The metadata is read while the entries still name their sources.
    Extension extension;
    std::vector<LeftOut> unread;
    if (options.metadata) {
        if (InputError failure = collectMetadata(entries, extras, extension, &unread)) {
            printError(failure);
            return 1;
        }
        for (const LeftOut& item : unread) warnLeftOut(item.path, item.reason);
    }
    // The archive holds the files in the reverse of the ordered list: a marked copy then
    // comes right before the entry it equals, which stores the bytes.
    const size_t n = entries.size();
    std::vector<NewEntry> archived(n);
    for (size_t k = 0; k < n; ++k) {
        FileEntry& entry = entries[n - 1 - k];
        NewEntry& out = archived[k];
        out.name = std::move(entry.storedName);
        out.path = std::move(entry.sourcePath);
        out.size = entry.size;
        out.crc = entry.crc;
        out.duplicate = entry.duplicate != 0;
        if (entry.contents) { // read once, stored as read
            out.data = entry.contents->data();
            out.path.clear();
        }
    }
    const int32_t status = writeArchiveFile(archivePath, archived, options, options.metadata ? &extension : nullptr);
    return status == 0 && !unread.empty() ? 1 : status;
}

int32_t runCompress(const std::vector<std::string>& args, const RunOptions& options)
{
    if (!outputUsable(args[2], options)) return 1;
    Discovered found;
    if (!discoverInputs(args, options, found)) return 1;
    std::vector<FileEntry> entries;
    if (!checkInputs(found.list, options, entries)) return 1;
    if (!measureInputs(entries, options, found.leftOut)) return 1;
    const int32_t status = writeInputs(args[2], entries, found.extras, options);
    // What was left out was said; the archive holds everything else, and the status tells.
    return status == 0 && found.leftOut ? 1 : status;
}

// The compression progress text: the plain chunk text for the first and the last chunk,
// otherwise with the time left, the rate and the expected archive size.
void showCompressionProgress(const ChunkProgress& chunk, uint64_t archiveBytes, SteadyEstimate& estimate)
{
    char text[progressTextSize];
    if (chunk.done == 0 || chunk.done + chunk.size >= chunk.total) {
        chunkProgressText(text, chunk.done, chunk.size, chunk.total, chunk.previousSeconds, &estimate);
    } else {
        float ratio = static_cast<float>(archiveBytes) / static_cast<float>(chunk.done);
        std::snprintf(text, progressTextSize, "%s/%s KB, %s left, %s KB/sec, expect %s (%.2f%%)",
                      FormatNumber((chunk.done + chunk.size) / 1024, false), FormatNumber(chunk.total / 1024, false),
                      FormatDuration(
                          steadyTimeLeft(estimate, chunk.total, chunk.done, chunk.previousSeconds, clockMs())),
                      FormatNumber(chunkRate(chunk.previousSeconds), false),
                      FormatNumber(static_cast<uint64_t>(static_cast<float>(chunk.total) * ratio), true),
                      static_cast<double>(ratio * 100.0f));
    }
    ProgressLine::show(text);
}

// Writes the archive of the entries into the open file, at its position, with the progress
// and the summary; false after a message.
// What stands before the archive in the file (the self-extracting program) counts in its
// size.
// seekable: the header can be patched once the extension is written (not on a pipe).
// temporaryPath: the file is a regular one of ours, which can be read back (through a handle
// of its own) and cut, so that a table that no longer says what the stream holds is corrected
// at the end; empty when it is not. sourcesDiffered: a source did not give what was found
// before (said).
bool writeArchiveTo(FILE* file, uint64_t before, const std::string& archivePath, const std::vector<NewEntry>& entries,
                    const RunOptions& options, const Extension* extension, bool seekable,
                    const std::string& temporaryPath, bool& sourcesDiffered)
{
    WriteOptions writeOptions;
    writeOptions.level = options.level;
    writeOptions.threads = options.threadCount;
    writeOptions.extension = extension;
    writeOptions.storeAsRead = true; // live files: what changes or goes is said, the rest stored
    std::unique_ptr<FILE, int (*)(FILE*)> written(nullptr, std::fclose);
    if (seekable && !temporaryPath.empty()) {
        writeOptions.reread = [&written, file, before, &temporaryPath](uint64_t at, uint8_t* bytes, size_t count) {
            if (std::fflush(file) != 0) {
                noteStreamFailure();
                return false;
            }
            if (!written) written.reset(openRead(temporaryPath));
            bool failed = false;
            return written && readFileAt(written.get(), before + at, bytes, count, failed) == count;
        };
        writeOptions.cut = [file, before](uint64_t length) { return cutFile(file, before + length); };
    }
    if (seekable) {
        // The header is given the extension's place once it is written: a file can be patched.
        writeOptions.rewrite = [file, before](uint64_t at, const uint8_t* bytes, size_t count) {
            const int64_t end = tellFile(file);
            const bool ok = end >= 0 && std::fflush(file) == 0 &&
                            seekFile(file, static_cast<int64_t>(before + at), SEEK_SET) == 0 &&
                            std::fwrite(bytes, 1, count, file) == count && std::fflush(file) == 0 &&
                            seekFile(file, end, SEEK_SET) == 0;
            if (!ok) noteStreamFailure(); // the reason of the call that failed, the last one made
            return ok;
        };
    }
    WriteCallbacks callbacks;
    bool lineOpen = false; // "Loading..." or a progress line waits for its line end
    callbacks.started = [&] {
        say("Model: %s KB\n", FormatNumber(compressionModelKb, false));
        say("Loading...");
        std::fflush(consoleStream());
        lineOpen = true;
    };
    SteadyEstimate estimate;
    callbacks.chunk = [&](const ChunkProgress& chunk) {
        showCompressionProgress(chunk, before + chunk.archiveBytes, estimate);
        lineOpen = true;
    };
    callbacks.packed = [&] {
        if (lineOpen) say("\n");
    };
    size_t leftOut = 0;
    callbacks.source = [&](const SourceEvent& event) {
        sourcesDiffered = true;
        if (event.change == SourceChange::leftOut) ++leftOut;
        if (lineOpen && !consoleQuiet()) tell("\n");
        lineOpen = false;
        const std::string& path = entries[event.entry].path;
        switch (event.change) {
        case SourceChange::leftOut:
            warnLeftOut(path, event.reason);
            break;
        case SourceChange::changed:
            warnLeftOut(path, "changed while being read; stored as read");
            break;
        case SourceChange::mismatched:
            warnLeftOut(path, event.reason.empty()
                                  ? "changed while being read; its checksum in the archive will not match"
                                  : event.reason + "; the rest stored as zeros, its checksum will not match");
            break;
        }
    };
    writeOptions.seal = options.seal.get();
    WriteResult result;
    Error failure = writeArchive(entries, fileOutput(file), writeOptions, callbacks, result);
    if (!failure && std::fflush(file) != 0) {
        noteStreamFailure();
        failure = Error(ErrorCode::writeArchive, "", "", true);
        failure.reason = lastFailureReason();
    }
    if (failure) {
        printError(failure, archivePath);
        return false;
    }
    if (leftOut == entries.size()) { // every file went while c ran: as if none was found
        tell("Error: no input files\n");
        return false;
    }
    uint64_t archiveSize = before + result.archiveBytes;
    float percent = result.inputTotal == 0
                        ? 0.0f
                        : static_cast<float>(archiveSize) * 100.0f / static_cast<float>(result.inputTotal);
    say("%s -> %s bytes (%s, %.2f%%) - %.3f seconds\n", FormatNumber(result.inputTotal, false),
        FormatNumber(archiveSize, false), FormatNumber(archiveSize, true), static_cast<double>(percent),
        static_cast<double>(result.milliseconds * 0.001f));
    return true;
}

// The archive on standard output: no question, no temporary file; a failure leaves what the
// pipe took so far, and the status tells.
int32_t writeArchiveStream(const std::vector<NewEntry>& entries, const RunOptions& options, const Extension* extension)
{
    useBinaryMode(stdout);
    bool sourcesDiffered = false;
    if (!writeArchiveTo(stdout, 0, "-", entries, options, extension, false, std::string(), sourcesDiffered)) return 1;
    return sourcesDiffered ? 1 : 0;
}

// Writes the archive of the entries; what stood at the archive path is replaced only by a
// complete archive.
int32_t writeArchiveFile(const std::string& archivePath, const std::vector<NewEntry>& entries,
                         const RunOptions& options, const Extension* extension)
{
    if (isStandardStream(archivePath)) return writeArchiveStream(entries, options, extension);
    if (!options.forceOverwrite) {
        if (FILE* existing = openRead(archivePath)) {
            std::fclose(existing);
            tell("Error: Archive file %s already exists. Press Y to overwrite it, or any other key to exit: ",
                 printable(archivePath).c_str());
            if (readAnswer() != 'y') return 1;
        }
    }
    ArchiveOutput out;
    // Each failure is told with the reason of the call that failed, taken right after it.
    auto refused = [&](const char* message) {
        tell(message, printable(archivePath).c_str());
        tellReason(archivePath, lastFailureReason());
    };
    if (!openArchiveOutput(archivePath, out)) {
        refused("Error opening output file %s\n");
        return 1;
    }
    bool ok = !options.createSfx || writeSfxImage(out.file, archivePath);
    // What stands before the archive counts in its size and in the extension's place. A FIFO
    // or another device without a position (written directly) takes the archive as a pipe does.
    int64_t before = ok ? tellFile(out.file) : 0;
    const bool seekable = before >= 0;
    if (!seekable && out.temporaryPath.empty() && !options.createSfx) before = 0;
    if (ok && before < 0) {
        refused("Error writing archive %s\n");
        ok = false;
    }
    bool sourcesDiffered = false;
    ok = ok && writeArchiveTo(out.file, static_cast<uint64_t>(before), archivePath, entries, options, extension,
                              seekable, out.temporaryPath, sourcesDiffered);
    if (ok && options.protectPercent > 0) {
        ok = appendRecoveryBlock(out.file, out.temporaryPath, archivePath, options.protectPercent);
    }
    if (!ok) return 1; // the temporary file goes with out
    if (!finishArchiveOutput(out)) {
        refused("Error writing archive %s\n");
        return 1;
    }
    if (options.createSfx) markExecutable(archivePath);
    return sourcesDiffered ? 1 : 0;
}

int32_t runReadCommand(const std::vector<std::string>& args, char command, const RunOptions& options)
{
    FILE* archive = nullptr;
    if (isStandardStream(args[2])) {
        if (isTerminal(stdin)) {
            tell("Error: standard input is a terminal, not an archive\n");
            return 1;
        }
        useBinaryMode(stdin);
        archive = stdin;
        // The archive's bytes are no answers: questions go to the terminal, or are answered no.
        readAnswersFrom(openTerminalInput());
    } else if (!(archive = openRead(args[2]))) {
        tell("Error opening %s\n", printable(args[2]).c_str());
        tellReason(args[2], lastFailureReason());
        return 1;
    }
    nameArchiveRead(args[2]);
    const bool sealedAsIs = archive != stdin && startsSealed(archive);
    int32_t status;
    // The recovery data's verdict first, for a file that has it: damaged data slices it can
    // rebuild are read as rebuilt. A sealed archive's covers its sealed bytes, and is checked
    // before the key is asked for.
    const bool checked = archive != stdin && (command != 'l' || sealedAsIs);
    RecoveryVerdict verdict;
    if (checked) verdict = checkBeforeReading(args[2]);
    ThroughRecovery through;
    through.repaired = verdict.repaired.get();
    // On standard input nothing can be looked at twice: a sealed archive there is said to be
    // one by the key given for it (or by -encrypt, to be asked the passphrase).
    const bool sealedPipe =
        archive == stdin && (options.encrypt || !options.passwordFile.empty() || !options.identityFile.empty());
    const bool sealed =
        sealedAsIs || sealedPipe || (verdict.repaired && startsSealed(archive, verdict.repaired.get()));
    // A sealed archive is opened with its key, then read through its plain bytes.
    SealedReading sealedReading;
    if (sealed) {
        sealedReading.repaired = verdict.repaired.get();
        sealedReading.end = verdict.found ? verdict.protectedBytes : 0;
        if (!verdict.go || !openSealedArchive(archive, options, sealedReading, sealedPipe)) {
            if (archive != stdin) std::fclose(archive);
            return 1;
        }
        through.repaired = nullptr;
        through.source = &sealedReading.source;
    }
    if (!verdict.go) {
        status = 1;
    } else if (command == 'l') {
        status = listCommand(archive, options.verbose, std::vector<std::string>(args.begin() + 3, args.end()),
                             options.attributeNames, through.source);
    } else if (command == 't') {
        std::vector<std::string> patterns(args.begin() + 3, args.end());
        status = testCommand(archive, options, patterns, &through) == ExtractOutcome::done ? 0 : 1;
    } else if (isStandardStream(args[3])) {
        std::vector<std::string> patterns(args.begin() + 4, args.end());
        status = extractToStandardOutput(archive, options, patterns, &through) == ExtractOutcome::done ? 0 : 1;
    } else {
        std::vector<std::string> patterns(args.begin() + 4, args.end());
        status = extractCommand(archive, args[3].c_str(), options, patterns, &through) == ExtractOutcome::done ? 0 : 1;
    }
    if (archive != stdin) std::fclose(archive);
    // None found at the file's end: the end may be lost; the block's first copy stands where
    // the archive ended.
    if (checked && verdict.go && !verdict.found && !sealed) {
        verdict.status = checkAfterReading(args[2], through.archiveEnd);
    }
    return status != 0 ? status : verdict.status;
}

} // namespace

void printBanner()
{
    say("QV5 - Solid multi-file archiver\n64-bit version, supports files >4 GB\n");
    say("Context-keyed LZ77 with per-block Huffman codes, 16 MiB solid chunks\n");
#ifdef _WIN32
    say("Version 0.1.0 for Windows x64\n");
#else
    say("Version 0.1.0 for Linux x86-64\n");
#endif
    say("Run without arguments for the list of commands and flags\n\n");
}

int32_t runCommandLine(std::vector<std::string> args)
{
    std::string programName = !args.empty() ? args[0] : std::string("QV5");
    if (args.size() == 2) {
        const std::string only = lowerAscii(args[1]);
        if (only == "--version") {
            say("%s", versionText);
            return 0;
        }
        if (only == "--help" || only == "-h" || only == "-?") {
            printBanner();
            const std::string shownName = printable(programName);
            const char* name = shownName.c_str();
            say(usageText, name, name, name);
            say("%s", moreUsageText);
            return 0;
        }
    }
    RunOptions options;
    std::vector<FlagEcho> echoes;
    // Flags stand before the command word, and after it up to the archive path.
    if (!readFlags(args, 1, options, echoes) && args.size() >= 3) readFlags(args, 2, options, echoes);
    char command = args.size() >= 2 && !args[1].empty() ? lowerAscii(args[1].substr(0, 1))[0] : '\0';
    // With the archive on a standard stream, or the files of d, the texts go to standard
    // error. The listing of an archive on standard input has standard output to itself.
    const bool piped = (args.size() >= 3 && isStandardStream(args[2]) &&
                        ((command == 'c' && args.size() >= 4) || (command == 'd' && args.size() >= 4) ||
                         command == 't')) ||
                       (command == 'd' && args.size() >= 4 && isStandardStream(args[3]));
    setConsole(piped ? stderr : stdout, options.quiet);
    printBanner();
    for (const FlagEcho& echo : echoes) {
        if (echo.warning) {
            tell("%s", echo.text.c_str());
        } else {
            say("%s", echo.text.c_str());
        }
    }
    if (!options.threadsInvalid.empty()) {
        tell("Error: %s: the thread count is a whole number from 1 up, right after -t (as in -t4)\n",
             printable(options.threadsInvalid).c_str());
        return 1;
    }

    if ((command == 'c' || command == 'd') && args.size() >= 4) {
        if (command == 'c') {
            options.level = levelFromCommandWord(args[1]);
            // A key given without -encrypt would leave the archive open to everyone: refused.
            if (!options.encrypt && (!options.recipientFiles.empty() || !options.passwordFile.empty())) {
                tell("Error: -recipient and -password-file seal an archive only with -encrypt\n");
                return 1;
            }
            // The keys first: nothing is read or written before they are known.
            if (options.encrypt && !prepareSeal(options)) return 1;
            // A sealed archive always carries the extension, for its chunk index: a selection
            // then decrypts only the segments it needs, and a damaged segment costs only the
            // chunks it holds.
            if (options.encrypt) options.metadata = true;
            return runCompress(args, options);
        }
        return runReadCommand(args, command, options);
    }
    if ((command == 'l' || command == 't') && args.size() >= 3) return runReadCommand(args, command, options);
    if (command == 'r' && args.size() == 4) return repairCommand(args[2], args[3], options);
    if (command == 'k' && args.size() == 3) return keyCommand(args[2]);

    const std::string shownName = printable(programName);
    const char* name = shownName.c_str();
    tell(usageText, name, name, name);
    // A command word the program does not have is named, apart from the usage text.
    if (args.size() >= 2 && !args[1].empty() && std::string_view("cdltrk").find(command) == std::string_view::npos) {
        std::fflush(consoleStream());
        writeText(stderr, "qv5: unknown command " + printable(args[1]) + "\n");
        std::fflush(stderr);
    }
    return 1;
}

} // namespace qv5
