#include "cli/archive_commands.h"

#include "cli/messages.h"
#include "console/console.h"
#include "console/format.h"
#include "console/progress.h"
#include "console/prompt.h"
#include "input/patterns.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace qv5 {

namespace {

constexpr uint64_t extractionModelKb = 25091;

void printOldHeader()
{
    say("Reading old header format\n");
}

void showChunk(const ChunkProgress& chunk, SteadyEstimate& estimate)
{
    char text[progressTextSize];
    chunkProgressText(text, chunk.done, chunk.size, chunk.total, chunk.previousSeconds, &estimate);
    ProgressLine::show(text);
}

// The progress of one run's chunks, its estimate steady.
std::function<void(const ChunkProgress&)> chunkShower()
{
    return [estimate = SteadyEstimate()](const ChunkProgress& chunk) mutable { showChunk(chunk, estimate); };
}

Answer askOverwrite(const std::string& path)
{
    tell("\nError: Output file %s already exists. Press Y to overwrite it, A to overwrite all, or any other key to "
         "exit: ",
         printable(path).c_str());
    int answer = readAnswer();
    return answer == 'a' ? Answer::all : (answer == 'y' ? Answer::yes : Answer::no);
}

// Which entries the patterns select, a pattern selecting a folder selecting everything
// below it; a pattern may also select only records of the extension (when read already).
// False after a message when one selects nothing at all.
bool selectEntries(const std::vector<Entry>& entries, const Extension* extension,
                   const std::vector<std::string>& patterns, std::vector<bool>& selected)
{
    selected.assign(entries.size(), false);
    for (const std::string& pattern : patterns) {
        bool any = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!selectsStoredName(pattern, entries[i].name, namesIgnoreCase)) continue;
            selected[i] = true;
            any = true;
        }
        if (!any && extension) {
            for (const FolderRecord& folder : extension->folders) {
                any = any || selectsStoredName(pattern, folder.name, namesIgnoreCase);
            }
            for (const LinkRecord& link : extension->links) {
                any = any || selectsStoredName(pattern, link.name, namesIgnoreCase);
            }
        }
        if (!any) {
            tell("Error: no file in the archive matches %s\n", printable(pattern).c_str());
            return false;
        }
    }
    return true;
}

// Chunks of an indexed archive that could not be decoded: said as they are met, and which
// entries they cost (number from 1 in what is printed).
struct DamagedChunks {
    std::vector<uint32_t> chunkOf; // per entry: the damaged chunk holding its bytes, or noChunk
    bool any = false;

    explicit DamagedChunks(size_t entries) : chunkOf(entries, noChunk) {}
    std::function<void(uint32_t, const std::string&, const std::vector<size_t>&)> callback()
    {
        return [this](uint32_t chunk, const std::string& what, const std::vector<size_t>& within) {
            any = true;
            const std::string detail = chunk == noChunk ? what : "chunk " + std::to_string(chunk + 1) + ": " + what;
            printError(Error{ErrorCode::damagedArchive, std::string(), detail, true});
            for (size_t index : within) chunkOf[index] = chunk;
        };
    }
    bool cost(size_t index) const { return chunkOf[index] != noChunk; }
};

// The closing lines of d and t: "N -> S bytes - T seconds" and the count of invalid
// checksums; the outcome.
ExtractOutcome summarise(const Archive& archive, uint64_t total, uint32_t milliseconds, int invalid)
{
    say("%s -> %s bytes - %.3f seconds\n", FormatNumber(bytesRead(archive), false), FormatNumber(total, false),
        static_cast<double>(static_cast<float>(milliseconds) * 0.001f));
    if (invalid > 0) {
        tell("Invalid checksums: %d\n", invalid);
        return ExtractOutcome::invalidChecksums;
    }
    return ExtractOutcome::done;
}

// The checksum found and, when it is not the stored one, the stored one; whether it matched.
bool crcText(const Entry& entry, uint32_t crc, std::string& text)
{
    char found[64];
    std::snprintf(found, sizeof found, "CRC32: %X", crc);
    text += found;
    if (crc == entry.crc) return true;
    std::snprintf(found, sizeof found, "\nINVALID CHECKSUM: Expected %X", entry.crc);
    text += found;
    return false;
}

// A file's line of t and d: kept with -quiet too when something is wrong with the file.
void fileLine(const std::string& text, bool wrong)
{
    if (wrong) {
        tell("%s", text.c_str());
    } else {
        say("%s", text.c_str());
    }
}

// The extension of an archive whose header has one, as far as it can be had before the
// contents.
struct ExtensionState {
    Extension extension;
    bool valid = false;   // read before the contents
    bool pending = false; // only after the contents (it follows the stream, or a pipe)
    // It could not be read: the files are written and checked all the same, nothing of the
    // extension applied, and this is reported after them.
    Error damage;
};

void readExtensionFirst(Archive& archive, ExtensionState& state)
{
    if (!hasExtension(archive)) return;
    state.pending = extensionAfterContents(archive);
    if (state.pending) return;
    state.damage = readExtension(archive, state.extension);
    state.valid = !state.damage;
}

// After the contents: the pending extension read on, checked against the entries.
void readExtensionAfter(Archive& archive, const std::vector<Entry>& entries, ExtensionState& state)
{
    if (!state.pending) return;
    state.damage = readTrailingExtension(archive, state.extension);
    if (!state.damage) state.damage = checkExtension(entries, state.extension);
    state.valid = !state.damage;
}

// What d and t do before decoding: the memory line, the table with every name checked as it
// is read (so that a huge table of bad names stops at the first; extraction checks them all
// again itself), the extension when it comes first, and the entries the patterns select
// (all without patterns). False after a message.
bool openForDecoding(Archive& archive, std::vector<Entry>& entries, const std::vector<std::string>& patterns,
                     std::vector<bool>& selected, ExtensionState& extension)
{
    say("Model: %s KB\n", FormatNumber(extractionModelKb, false));
    TableCallbacks table;
    table.oldHeader = printOldHeader;
    table.entry = [](const Entry& entry, int32_t, int32_t count) { return checkName(entry, count == 1); };
    Error failure = readTable(archive, table, entries);
    if (!failure) readExtensionFirst(archive, extension);
    if (!failure && extension.valid) failure = checkExtension(entries, extension.extension);
    if (failure) {
        printError(failure);
        return false;
    }
    return patterns.empty() ||
           selectEntries(entries, extension.valid ? &extension.extension : nullptr, patterns, selected);
}

// A stored name's components, '/' between them: one spelling for every way to write it.
std::vector<std::string> componentsOf(const std::string& name)
{
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (end > start && name.compare(start, end - start, ".") != 0)
            components.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

// Folders of the extension that hold nothing the archive restores: the empty ones.
std::vector<std::string> emptyFolders(const std::vector<Entry>& entries, const Extension& extension)
{
    std::set<std::string> holding; // every folder something lies in
    auto addFolders = [&](const std::string& name) {
        std::vector<std::string> components = componentsOf(name);
        std::string place;
        for (size_t i = 0; i + 1 < components.size(); ++i) {
            place += components[i] + "/";
            holding.insert(place);
        }
    };
    for (const Entry& entry : entries) addFolders(entry.name);
    for (const FolderRecord& folder : extension.folders) addFolders(folder.name);
    for (const LinkRecord& link : extension.links) addFolders(link.name);
    std::vector<std::string> empty;
    for (const FolderRecord& folder : extension.folders) {
        std::string place;
        for (const std::string& component : componentsOf(folder.name)) place += component + "/";
        if (!holding.count(place)) empty.push_back(folder.name);
    }
    return empty;
}

// "1 item", "N items".
std::string itemCount(int count)
{
    return std::to_string(count) + (count == 1 ? " item" : " items");
}

// What could not be restored, one line each.
const char* unrestoredText(const std::string& what)
{
    if (what == "time") return "Could not restore the time of %s\n";
    if (what == "mode") return "Could not restore the permissions of %s\n";
    if (what == "link") return "Could not create the link %s\n";
    if (what == "owner") return "Could not restore the owner of %s\n";
    if (what == "attribute") return "Could not restore the extended attributes of %s\n";
    if (what == "device") return "Could not create the device %s\n";
    if (what == "fifo") return "Could not create the FIFO %s\n";
    if (what == "hard link") return "Could not create the hard link %s (copied instead)\n";
    return "Could not create the folder %s\n";
}

// The patterns as the extraction's choice of records: a record is restored when a pattern
// selects it.
std::function<bool(const std::string&)> recordSelection(const std::vector<std::string>& patterns)
{
    return [patterns](const std::string& name) {
        for (const std::string& pattern : patterns) {
            if (selectsStoredName(pattern, name, namesIgnoreCase)) return true;
        }
        return false;
    };
}

// ---- Listing ---------------------------------------------------------------------------

// "drwxr-sr-x": the type, then the permission bits with set-user, set-group and sticky.
std::string modeText(char type, uint32_t mode)
{
    std::string text(1, type);
    const char* letters = "rwxrwxrwx";
    for (int bit = 8; bit >= 0; --bit) text += (mode >> bit) & 1 ? letters[8 - bit] : '-';
    auto special = [&](size_t at, uint32_t flag, char on, char onWithoutX) {
        if (mode & flag) text[at] = text[at] == 'x' ? on : onWithoutX;
    };
    special(3, 04000, 's', 'S');
    special(6, 02000, 's', 'S');
    special(9, 01000, 't', 'T');
    return text;
}

std::string ownerText(const Extension& extension, const Metadata& metadata)
{
    if (metadata.owner >= extension.owners.size()) return "-";
    const Owner& owner = extension.owners[metadata.owner];
    return (owner.user.empty() ? std::to_string(owner.uid) : owner.user) + "/" +
           (owner.group.empty() ? std::to_string(owner.gid) : owner.group);
}

// One line of the long listing: type and mode ('+' after it when the item has extended
// attributes, taken from the owner's column), owner and group, size, time, name; '-' for
// what the archive does not keep (metadata null: no extension). With attributeNames, the
// attributes' names follow, one a line, below the owner's column.
void listLine(char type, const Extension* extension, const Metadata* metadata, const std::string& size,
              const std::string& name, const std::string& tail = std::string(), bool attributeNames = false)
{
    const bool attributes = metadata && !metadata->attributes.empty();
    const std::string mode = metadata ? modeText(type, metadata->mode) + (attributes ? "+" : "") : "-";
    const std::string owner = metadata ? ownerText(*extension, *metadata) : "-";
    const std::string time = metadata ? utcTimeText(metadata->modifiedNs) : "-";
    const int ownerWidth = mode.size() > 10 ? 16 : 17;
    tell("%-10s %-*s %12s %-19s %s%s\n", mode.c_str(), ownerWidth, printable(owner).c_str(), size.c_str(),
         time.c_str(), printable(name).c_str(), tail.c_str());
    if (!attributeNames || !attributes) return;
    for (const Attribute& attribute : metadata->attributes) tell("%11s %s\n", "", printable(attribute.name).c_str());
}

// What a listing shows: every entry and record, or those its patterns select.
struct ListSelection {
    std::vector<bool> entries; // empty: all
    std::function<bool(const std::string&)> record;
    bool entry(size_t i) const { return entries.empty() || entries[i]; }
    bool shows(const std::string& name) const { return !record || record(name); }
};

void listItems(const std::vector<Entry>& entries, const Extension* extension, const ListSelection& listed,
               bool attributeNames)
{
    std::vector<uint32_t> hardLinkOf(entries.size(), noOwner);
    if (extension) {
        for (const HardLink& link : extension->hardLinks) hardLinkOf[link.entry] = link.target;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!listed.entry(i)) continue;
        const Metadata* metadata = extension ? &extension->entries[i] : nullptr;
        std::string tail;
        if (hardLinkOf[i] != noOwner) tail = " link to " + printable(entries[hardLinkOf[i]].name);
        listLine('-', extension, metadata, std::to_string(entries[i].size), entries[i].name, tail, attributeNames);
    }
    if (!extension) return;
    for (const FolderRecord& folder : extension->folders) {
        if (listed.shows(folder.name)) {
            listLine('d', extension, &folder.metadata, "0", folder.name, std::string(), attributeNames);
        }
    }
    for (const LinkRecord& link : extension->links) {
        if (!listed.shows(link.name)) continue;
        listLine('l', extension, &link.metadata, "0", link.name, " -> " + printable(link.target), attributeNames);
    }
    for (const SpecialRecord& special : extension->specials) {
        if (!listed.shows(special.name)) continue;
        const bool fifo = special.kind == SpecialKind::fifo;
        const char type = fifo ? 'p' : special.kind == SpecialKind::characterDevice ? 'c' : 'b';
        const std::string size = fifo ? "0" : std::to_string(special.major) + "," + std::to_string(special.minor);
        listLine(type, extension, &special.metadata, size, special.name, std::string(), attributeNames);
    }
}

} // namespace

namespace {

void listEntry(const Entry& entry, int32_t number)
{
    if (entry.hasCrc) {
        tell("[%d]: %s, %s, CRC32: %X\n", number, printable(entry.name).c_str(), FormatNumber(entry.size, true),
             entry.crc);
    } else {
        tell("[%d]: %s, %s\n", number, printable(entry.name).c_str(), FormatNumber(entry.size, true));
    }
}

} // namespace

int32_t listCommand(FILE* archiveFile, bool verbose, const std::vector<std::string>& patterns,
                    bool attributeNames, const PositionedBytes* source)
{
    ArchivePtr archive = source ? openArchive(archiveFile, source) : openArchive(archiveFile);
    TableCallbacks callbacks;
    callbacks.oldHeader = printOldHeader;
    // The listing is what l is for: shown even when quiet. The long one waits for the
    // extension, which may come after the contents, and a selection for the whole table.
    const bool asRead = !verbose && patterns.empty();
    if (asRead) {
        callbacks.entry = [](const Entry& entry, int32_t number, int32_t) {
            listEntry(entry, number);
            return Error();
        };
    }
    std::vector<Entry> entries;
    if (Error failure = readTable(*archive, callbacks, entries)) {
        printError(failure);
        return 1;
    }
    ExtensionState extension;
    Error failure;
    if (hasExtension(*archive)) {
        readExtensionFirst(*archive, extension);
        // After a stream whose end only decoding finds; a pipe with the place in the header
        // reads on to it.
        if (extension.pending && extensionFollowsStream(*archive)) {
            failure = readContents(*archive, entries, 0, ContentCallbacks());
        }
        if (!failure) readExtensionAfter(*archive, entries, extension); // checked against the entries
        if (!failure && extension.valid && !extension.pending) failure = checkExtension(entries, extension.extension);
        if (!failure) failure = extension.damage;
    }
    // With patterns, what they select (a pattern selecting nothing stops the listing).
    ListSelection listed;
    if (!patterns.empty()) {
        if (!selectEntries(entries, extension.valid ? &extension.extension : nullptr, patterns, listed.entries)) {
            return 1;
        }
        listed.record = recordSelection(patterns);
    }
    size_t shown = entries.size();
    if (!asRead) {
        shown = 0;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!listed.entry(i)) continue;
            ++shown;
            if (!verbose) listEntry(entries[i], static_cast<int32_t>(i + 1));
        }
    }
    if (verbose && !failure) listItems(entries, extension.valid ? &extension.extension : nullptr, listed,
                                       attributeNames);
    if (shown == 1) {
        tell("1 file\n");
    } else {
        tell("%d files\n", static_cast<int>(shown));
    }
    if (failure) {
        printError(failure);
        return 1;
    }
    if (verbose || !extension.valid) return 0;
    // Links and empty folders, after the files.
    for (const LinkRecord& link : extension.extension.links) {
        if (!listed.shows(link.name)) continue;
        tell("[link]: %s -> %s\n", printable(link.name).c_str(), printable(link.target).c_str());
    }
    for (const std::string& folder : emptyFolders(entries, extension.extension)) {
        if (listed.shows(folder)) tell("[folder]: %s\n", printable(folder).c_str());
    }
    for (const SpecialRecord& special : extension.extension.specials) {
        if (!listed.shows(special.name)) continue;
        tell("[%s]: %s\n", special.kind == SpecialKind::fifo ? "fifo" : "device", printable(special.name).c_str());
    }
    return 0;
}

namespace {

// The last entry a selection needs (the stream is decoded no further); all without one.
size_t lastNeeded(const std::vector<bool>& selected, size_t count)
{
    if (selected.empty()) return count == 0 ? 0 : count - 1;
    size_t last = 0;
    for (size_t i = 0; i < selected.size(); ++i) {
        if (selected[i]) last = i;
    }
    return last;
}

// The archive t and d read, through the recovery data's rebuilt slices when given; where the
// reading found it to end is handed back when it is over.
class OpenedArchive {
public:
    OpenedArchive(FILE* file, ThroughRecovery* through)
        : archive_(through && through->source  ? openArchive(file, through->source)
                   : through                    ? openArchive(file, through->repaired)
                                                : openArchive(file)),
          through_(through)
    {
    }
    ~OpenedArchive()
    {
        if (through_) through_->archiveEnd = archiveEnd(*archive_);
    }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;
    Archive& operator*() const { return *archive_; }
    Archive* operator->() const { return archive_.get(); }

private:
    ArchivePtr archive_;
    ThroughRecovery* through_;
};

// The lines of t and d - after decoding: "Tested"/"Wrote" and each selected entry's checksum
// as computed from its bytes; the summary; the outcome.
ExtractOutcome reportDecoded(const Archive& archive, const std::vector<Entry>& entries,
                             const std::vector<bool>& selected, const std::vector<uint32_t>& crcs, const char* verb,
                             uint32_t milliseconds, const std::vector<uint32_t>* damagedChunk = nullptr)
{
    say("\n");
    int invalid = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!selected.empty() && !selected[i]) continue;
        if (damagedChunk && (*damagedChunk)[i] != noChunk) {
            tell("%s %s: damaged (chunk %u)\n", verb, printable(entries[i].name).c_str(), (*damagedChunk)[i] + 1);
            continue;
        }
        total += entries[i].size;
        std::string line = std::string(verb) + " " + printable(entries[i].name);
        bool matched = true;
        if (entries[i].hasCrc) {
            line += ", ";
            matched = crcText(entries[i], crcs[i], line);
            if (!matched) ++invalid;
        }
        fileLine(line + "\n", !matched);
    }
    return summarise(archive, total, milliseconds, invalid);
}

// Components compared as the system compares names.
bool sameComponents(const std::vector<std::string>& a, const std::vector<std::string>& b, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
        if (namesIgnoreCase ? lowerAscii(a[k]) != lowerAscii(b[k]) : a[k] != b[k]) return false;
    }
    return true;
}

// Where a link record leads inside the archive: its target taken from the link's folder (an
// absolute target from the archive's top, as a tree stored from the root holds it), through
// further links; empty when it leaves the archive's top or goes round.
std::vector<std::string> linkDestination(const Extension& extension, const LinkRecord& start)
{
    const LinkRecord* link = &start;
    std::vector<std::string> place;
    for (int hops = 0; hops < 40; ++hops) {
        place = componentsOf(link->name);
        place.pop_back();
        if (!link->target.empty() && (link->target[0] == '/' || link->target[0] == '\\')) place.clear();
        for (const std::string& component : componentsOf(link->target)) {
            if (component != "..") {
                place.push_back(component);
            } else if (place.empty()) {
                return {};
            } else {
                place.pop_back();
            }
        }
        const LinkRecord* next = nullptr;
        for (const LinkRecord& other : extension.links) {
            const std::vector<std::string> name = componentsOf(other.name);
            if (name.size() == place.size() && sameComponents(name, place, place.size())) next = &other;
        }
        if (!next) return place;
        link = next;
    }
    return {};
}

// d archive - PATTERN: a pattern that selects no entry but a stored link selects what the
// link leads to inside the archive (a file, or everything below a folder): the link itself
// has no bytes. False after a message when it leads to nothing the archive holds.
bool followLinks(const std::vector<Entry>& entries, const Extension& extension,
                 const std::vector<std::string>& patterns, std::vector<bool>& selected)
{
    for (const std::string& pattern : patterns) {
        bool any = false;
        for (const Entry& entry : entries) any = any || selectsStoredName(pattern, entry.name, namesIgnoreCase);
        if (any) continue;
        for (const LinkRecord& link : extension.links) {
            if (!selectsStoredName(pattern, link.name, namesIgnoreCase)) continue;
            const std::vector<std::string> place = linkDestination(extension, link);
            bool leads = false;
            for (size_t i = 0; i < entries.size() && !place.empty(); ++i) {
                const std::vector<std::string> name = componentsOf(entries[i].name);
                if (name.size() < place.size() || !sameComponents(name, place, place.size())) continue;
                selected[i] = true;
                leads = true;
            }
            if (!leads) {
                tell("Error: %s is a link to %s, which the archive does not hold: a link has no bytes\n",
                     printable(link.name).c_str(), printable(link.target).c_str());
                return false;
            }
        }
    }
    return true;
}

} // namespace

ExtractOutcome extractCommand(FILE* archiveFile, const char* output, const RunOptions& options,
                              const std::vector<std::string>& patterns, ThroughRecovery* through)
{
    OpenedArchive archive(archiveFile, through);
    std::vector<Entry> entries;
    ExtensionState extension;
    ExtractOptions extractOptions;
    extractOptions.output = output;
    extractOptions.forceOverwrite = options.forceOverwrite;
    extractOptions.threads = options.threadCount;
    if (!openForDecoding(*archive, entries, patterns, extractOptions.selected, extension)) {
        return ExtractOutcome::failed;
    }
    if (extension.valid) extractOptions.extension = &extension.extension;
    extractOptions.allAttributes = options.allAttributes;
    if (!patterns.empty()) extractOptions.selectsRecord = recordSelection(patterns);
    struct Unrestored {
        std::string path;
        const char* what;
        std::string reason;
    };
    std::vector<Unrestored> unrestored;
    ExtractCallbacks callbacks;
    callbacks.chunk = chunkShower();
    callbacks.askOverwrite = askOverwrite;
    callbacks.notRestored = [&](const std::string& path, const char* what, const std::string& reason) {
        unrestored.push_back({path, what, reason});
    };
    // Items whose metadata was restored but for what is left out by rule: counted, said once.
    int optInItems = 0;
    int rootOnlyItems = 0;
    callbacks.withheld = [&](const std::string&, uint32_t withheld) {
        optInItems += (withheld & withheldOptIn) != 0;
        rootOnlyItems += (withheld & withheldRootOnly) != 0;
    };
    DamagedChunks damage(entries.size());
    callbacks.damaged = damage.callback();
    ExtractionPtr extraction;
    Error failure = extractFiles(*archive, entries, extractOptions, callbacks, extraction);
    // Through a pipe the extension comes only now: read on, checked, then applied.
    if (!failure && extension.pending) {
        readExtensionAfter(*archive, entries, extension);
        if (extension.valid) failure = restoreMetadata(*extraction, extension.extension);
    }
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }

    say("\n");
    int invalid = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!extractOptions.selected.empty() && !extractOptions.selected[i]) continue;
        const Entry& entry = entries[i];
        if (damage.cost(i)) {
            tell("Not written %s: damaged (chunk %u)\n", printable(entry.name).c_str(), damage.chunkOf[i] + 1);
            continue;
        }
        total += entry.size;
        std::string line = "Wrote " + printable(entry.name);
        if (entry.duplicate) line += " (duplicated)";
        bool matched = true;
        if (entry.hasCrc) {
            line += ", validating... ";
            uint32_t crc = 0;
            if (Error unreadable = writtenCrc(*extraction, i, crc)) {
                fileLine(line, true);
                printError(unreadable);
                return ExtractOutcome::failed;
            }
            matched = crcText(entry, crc, line);
            if (!matched) ++invalid;
        }
        fileLine(line + "\n", !matched);
    }
    for (const Unrestored& item : unrestored) {
        tell(unrestoredText(item.what), printable(item.path).c_str());
        tellReason(item.path, item.reason);
    }
    if (optInItems > 0) {
        tell("Skipped security, trusted and ACL attributes of %s (-xattrs restores them)\n",
             itemCount(optInItems).c_str());
    }
    if (rootOnlyItems > 0) {
        tell("Skipped owners, set-ID bits and root-only attributes of %s (only root restores them)\n",
             itemCount(rootOnlyItems).c_str());
    }
    ExtractOutcome outcome = summarise(*archive, total, extractMilliseconds(*extraction), invalid);
    if (extension.damage) {
        // Nothing of the metadata was applied: what was made is still for its owner alone.
        printError(extension.damage, std::string(), "; permissions were not restored");
        return ExtractOutcome::failed;
    }
    if (damage.any) return ExtractOutcome::damaged;
    return outcome == ExtractOutcome::done && !unrestored.empty() ? ExtractOutcome::incomplete : outcome;
}

ExtractOutcome testCommand(FILE* archiveFile, const RunOptions& options, const std::vector<std::string>& patterns,
                           ThroughRecovery* through)
{
    OpenedArchive archive(archiveFile, through);
    std::vector<Entry> entries;
    ExtensionState extension;
    std::vector<bool> selected;
    if (!openForDecoding(*archive, entries, patterns, selected, extension)) return ExtractOutcome::failed;
    const size_t last = lastNeeded(selected, entries.size());
    std::vector<uint32_t> crcs(entries.size(), 0);
    ContentCallbacks callbacks;
    callbacks.chunk = chunkShower();
    callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        crcs[index] = crc32(crcs[index], data, count);
        return true;
    };
    callbacks.copy = [&](size_t index, size_t source) {
        crcs[index] = crcs[source];
        return true;
    };
    // A selection stops after its last entry, unless an extension past the stream's end is
    // to be found.
    const bool stopEarly = !selected.empty() && !extensionFollowsStream(*archive);
    callbacks.done = [&](size_t index) { return !stopEarly || index != last; };
    callbacks.selected = selected;
    DamagedChunks damage(entries.size());
    callbacks.damaged = damage.callback();
    uint32_t start = clockMs();
    Error failure = readContents(*archive, entries, options.threadCount, callbacks);
    if (failure.code == ErrorCode::stopped && stopEarly) failure = Error();
    if (!failure) readExtensionAfter(*archive, entries, extension);
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }
    ExtractOutcome outcome =
        reportDecoded(*archive, entries, selected, crcs, "Tested", clockMs() - start, &damage.chunkOf);
    if (extension.damage) {
        printError(extension.damage);
        return ExtractOutcome::failed;
    }
    return damage.any ? ExtractOutcome::damaged : outcome;
}

ExtractOutcome extractToStandardOutput(FILE* archiveFile, const RunOptions& options,
                                       const std::vector<std::string>& patterns, ThroughRecovery* through)
{
    if (isTerminal(stdout)) {
        tell("Error: standard output is a terminal; redirect it to write the files there\n");
        return ExtractOutcome::failed;
    }
    useBinaryMode(stdout);
    OpenedArchive archive(archiveFile, through);
    std::vector<Entry> entries;
    ExtensionState extension;
    std::vector<bool> selected;
    if (!openForDecoding(*archive, entries, patterns, selected, extension)) return ExtractOutcome::failed;
    if (extension.valid && !patterns.empty() && !followLinks(entries, extension.extension, patterns, selected)) {
        return ExtractOutcome::failed;
    }
    auto wanted = [&](size_t index) { return selected.empty() || selected[index]; };
    const size_t last = lastNeeded(selected, entries.size());
    // A run of equal entries has its bytes in the stream once: kept aside while a later entry
    // of the run, selected, will give them again.
    auto laterCopyWanted = [&](size_t index) {
        for (size_t i = index; entries[i].duplicate && i + 1 < entries.size(); ++i) {
            if (wanted(i + 1)) return true;
        }
        return false;
    };
    std::unique_ptr<FILE, int (*)(FILE*)> kept(nullptr, std::fclose);
    size_t current = entries.size();
    bool written = true;
    std::vector<uint32_t> crcs(entries.size(), 0);
    auto begin = [&](size_t index) {
        if (index == current) return;
        current = index;
        kept.reset(laterCopyWanted(index) ? std::tmpfile() : nullptr);
    };
    ContentCallbacks callbacks;
    callbacks.chunk = chunkShower();
    callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        begin(index);
        crcs[index] = crc32(crcs[index], data, count);
        if (wanted(index)) written = written && std::fwrite(data, 1, count, stdout) == count;
        if (kept) written = written && std::fwrite(data, 1, count, kept.get()) == count;
        return written;
    };
    callbacks.copy = [&](size_t index, size_t source) {
        crcs[index] = crcs[source];
        if (!wanted(index) || entries[index].size == 0) return true;
        if (!kept || std::fflush(kept.get()) != 0 || std::fseek(kept.get(), 0, SEEK_SET) != 0) return written = false;
        std::vector<uint8_t> piece(1 << 18);
        size_t got;
        while (written && (got = std::fread(piece.data(), 1, piece.size(), kept.get())) > 0) {
            written = std::fwrite(piece.data(), 1, got, stdout) == got;
        }
        return written = written && !std::ferror(kept.get());
    };
    callbacks.done = [&](size_t index) {
        begin(index);
        return selected.empty() || index != last;
    };
    callbacks.selected = selected;
    uint32_t start = clockMs();
    Error failure = readContents(*archive, entries, options.threadCount, callbacks);
    if (failure.code == ErrorCode::stopped && written) failure = Error();
    if (!failure && (std::fflush(stdout) != 0 || !written)) failure = Error(ErrorCode::writeOutput, "-", "", true);
    if (failure) {
        printError(failure);
        return ExtractOutcome::failed;
    }
    return reportDecoded(*archive, entries, selected, crcs, "Wrote", clockMs() - start);
}

} // namespace qv5
