#pragma once
// QV5: solid multi-file archives.
//
// The contents of all entries are compressed back to back as one stream, cut into 16 MiB
// chunks, with an LZ77 stage whose match history is kept per context (the byte before each
// position) and Huffman codes of their own for every block. Every entry carries its CRC-32;
// entries with equal contents are stored once.
//
// The library writes, lists, tests and extracts archives held in files or in memory. It
// prints nothing and asks nothing itself: what a program shows goes through the callbacks
// below, and every failure comes back as an Error.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qv5 {

// ---- Failures --------------------------------------------------------------------------

enum class ErrorCode {
    none,
    openInput,           // an entry's source file cannot be opened (subject: its path)
    readInput,           // ... or read
    inputChanged,        // ... or its size or bytes differ from what the entry records;
                         //     subject empty: the sources ended before the recorded total
    writeArchive,        // the archive output refused bytes
    damagedArchive,      // detail: what is damaged
    nameParentReference, // a stored name climbs out of the output folder (subject: the name)
    nameNotRelative,     // Windows: a stored name holds ':' (a drive or a stream)
    nameDevice,          // Windows: a stored name names a device such as CON or nul.txt
    pathTooLong,         // an output path does not fit (subject: the path)
    outputThroughLink,   // a folder of an output path is a link (subject: the path)
    outputIsArchive,     // an output path is the archive being read
    openOutput,          // an output file cannot be created (subject: its path)
    openSingleOutput,    // ... the one output file of a one-entry archive
    writeOutput,         // an output file cannot be written
    overwriteDeclined,   // the caller answered no when asked to overwrite
    stopped,             // a callback asked to stop
    emptyOutputPath,     // the output path given is empty
    nameInvalid,         // writing: a name no reader would accept (subject: the name)
    notAnArchive,        // reading: neither the magic nor a plausible header of the older form
    wrongKey,            // a sealed archive: the passphrase or key given does not open it
    sealCost,            // a sealed archive asks for more memory or time to open than allowed
    sealKeyMissing,      // a sealed archive: a passphrase (detail "passphrase") or a secret key is needed
};

struct Error {
    ErrorCode code = ErrorCode::none;
    std::string subject;
    std::string detail;
    // The failure came while a progress line was shown: a console ends that line first.
    bool midLine = false;
    // When a system call failed: why, in the system's words (strerror; on Windows
    // FormatMessageW, as UTF-8). Empty for the program's own findings.
    std::string reason;

    Error() = default;
    Error(ErrorCode code, std::string subject = std::string(), std::string detail = std::string(), bool midLine = false)
        : code(code), subject(std::move(subject)), detail(std::move(detail)), midLine(midLine)
    {
    }
    explicit operator bool() const { return code != ErrorCode::none; }
};

// ---- Bytes in and out -------------------------------------------------------------------

// Where an archive goes: takes bytes in order; false when it cannot.
using ByteWriter = std::function<bool(const uint8_t* bytes, size_t count)>;
ByteWriter fileOutput(FILE* file);
ByteWriter memoryOutput(std::vector<uint8_t>& bytes);

// CRC-32 (the common polynomial 0xEDB88320), continued from crc (0 for no bytes yet).
uint32_t crc32(uint32_t crc, const void* bytes, size_t count);

// The CRC-32 of an open file's bytes from its position to its end; the file stays open.
// progress, when given, is called each time another crcProgressStep bytes were hashed and
// more follow, with the bytes hashed so far. False when a read fails; crc is then unchanged.
constexpr uint64_t crcProgressStep = 128ull << 20;
bool crc32OfFile(FILE* file, uint32_t& crc, const std::function<void(uint64_t hashed)>& progress = nullptr);

// ---- Progress ---------------------------------------------------------------------------

// Reported before each chunk is compressed or after its predecessor was decoded.
struct ChunkProgress {
    uint64_t done = 0;         // stream bytes of the chunks before this one
    uint64_t size = 0;         // this chunk's bytes
    uint64_t total = 0;        // the whole stream's bytes
    float previousSeconds = 0; // what the chunk before took (1 for the first)
    uint64_t archiveBytes = 0; // writing: archive bytes produced so far
};

// ---- Metadata: times, permissions, empty folders and links ------------------------------
//
// An archive may carry, in an extension after its closing bytes that readers of the base
// format never read, the modification time and permission bits of every entry, every folder
// (so that empty ones come back, with their own times and modes) and symbolic links, stored
// as links. Without it the archive is the plain format, byte for byte.

// An extended attribute (Linux): its full name ("user.x", "security.capability",
// "system.posix_acl_access", ...) and value.
struct Attribute {
    std::string name;
    std::string value;
};

constexpr uint32_t noOwner = 0xFFFFFFFF;

struct Metadata {
    int64_t modifiedNs = 0; // modification time, nanoseconds since 1970-01-01 UTC
    uint32_t mode = 0;      // POSIX permission bits (07777), plus the Windows attributes below
    // What Linux keeps besides (none from Windows): the owner, an index into
    // Extension::owners, and the extended attributes.
    uint32_t owner = noOwner;
    std::vector<Attribute> attributes;

    Metadata() = default;
    Metadata(int64_t modifiedNs, uint32_t mode) : modifiedNs(modifiedNs), mode(mode) {}
};
// Windows attributes with no POSIX bit of their own ride above the permission bits; the
// read-only attribute is the absence of every write bit (0222).
constexpr uint32_t modeHidden = 1u << 16;
constexpr uint32_t modeSystem = 1u << 17;

struct FolderRecord {
    std::string name; // stored name, beginning with a separator
    Metadata metadata;
};

enum class LinkKind : uint8_t { file, folder, unknown }; // what the link led to when stored

struct LinkRecord {
    std::string name;   // stored name of the link itself
    std::string target; // the link's text, unchanged
    LinkKind kind = LinkKind::unknown;
    Metadata metadata;
};

// A FIFO or a device node, stored as what it is.
enum class SpecialKind : uint8_t { fifo, characterDevice, blockDevice };

struct SpecialRecord {
    std::string name;
    SpecialKind kind = SpecialKind::fifo;
    uint32_t major = 0; // device numbers (0 for a FIFO)
    uint32_t minor = 0;
    Metadata metadata;
};

// A user and a group, by number and by name (names may be empty when the system that wrote
// the archive had none for the number).
struct Owner {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::string user;
    std::string group;
};

// Entry `entry` is a hard link of entry `target`, an earlier entry of the same run of equal
// files: restored as a second name of the file written for target.
struct HardLink {
    uint32_t entry = 0;
    uint32_t target = 0;
};

// Where a chunk of the stored stream begins: the first bit of its first block, counted in bits
// from the archive's first byte, and the CRC-32 of its decoded bytes.
struct ChunkMark {
    uint64_t bit = 0;
    uint32_t crc = 0;
};

struct Extension {
    bool namesUtf8 = false;        // names are UTF-8 (else raw bytes of the system that wrote them)
    std::vector<Metadata> entries; // one per file-table entry, in table order
    std::vector<FolderRecord> folders;
    std::vector<LinkRecord> links;
    std::vector<SpecialRecord> specials;
    std::vector<Owner> owners; // what Metadata::owner indexes
    std::vector<HardLink> hardLinks;
    // Entries whose files were sparse: their zero runs of 4 KiB or more are restored as holes.
    std::vector<uint32_t> sparseEntries;
    // The chunk index, one mark per chunk, as the writer measured it (what a caller puts here
    // is not written: the writer writes its own). Readers of files use it to decode chunks in
    // parallel, to decode only the chunks a selection needs, and to go on after a damaged
    // chunk; one that contradicts the stream is never trusted.
    std::vector<ChunkMark> chunks;
};

// ---- Writing ----------------------------------------------------------------------------

// One entry of a new archive. The file table comes before the data, so size and CRC-32 are
// known up front; a source that no longer matches them stops the writing (unless
// WriteOptions::storeAsRead).
struct NewEntry {
    // Stored name, beginning with '/' or '\' (a one-entry archive may do without); UTF-8, to
    // read alike everywhere. A name with a NUL or a ".." component is refused (nameInvalid).
    std::string name;
    std::string path;              // the file its bytes come from, or empty ...
    const uint8_t* data = nullptr; // ... for bytes in memory, alive until writing ends
    int64_t size = 0;
    uint32_t crc = 0;
    bool duplicate = false; // same bytes as the next entry, whose copy is stored
};

// An entry for bytes in memory, with their CRC-32.
NewEntry memoryEntry(std::string name, const uint8_t* data, size_t size);

// What a sealed archive is written for, or opened with: a passphrase, or X25519 keys (32
// bytes each, as k writes them). A passphrase stands alone: with it, recipients are refused.
struct SealKeys {
    std::string passphrase;                          // writing and reading, or ...
    std::vector<std::array<uint8_t, 32>> recipients; // ... writing: the public keys
    std::array<uint8_t, 32> identity{};              // reading: a secret key, when hasIdentity
    bool hasIdentity = false;
    // Writing: the passphrase hash's cost (0: the default, about a second and 256 MiB), and
    // the header's randomness (null: random); tests fix them.
    uint32_t passes = 0;
    uint32_t memoryKiB = 0;
    std::function<void(uint8_t* bytes, size_t count)> random;
    ~SealKeys();
};

struct WriteOptions {
    int level = 2;   // 1 (fastest) to 6 (strongest)
    int threads = 0; // 0: one per core, also the most used; the archive is the same for every count
    // With an extension the archive carries it after its closing bytes. The header then says
    // where it starts once rewrite (which overwrites bytes already written, counted from the
    // archive's first byte) puts the offset in; without rewrite (a pipe) readers find it by
    // reading on.
    const Extension* extension = nullptr;
    std::function<bool(uint64_t at, const uint8_t* bytes, size_t count)> rewrite;
    // Sources that change, vanish or fail while they are read do not stop the writing (as
    // live files do; see SourceChange): each is reported through WriteCallbacks::source and
    // everything else is written. The archive then still never holds a size or CRC-32 that
    // differs from the bytes it stores, when it can be corrected at the end: that takes
    // rewrite, reread (reads back bytes written, counted from the archive's first byte) and
    // cut (ends the output after length bytes; the next bytes written follow them). Without
    // them (a pipe) a table entry written cannot change: see SourceChange::mismatched.
    bool storeAsRead = false;
    std::function<bool(uint64_t at, uint8_t* bytes, size_t count)> reread;
    std::function<bool(uint64_t length)> cut;
    // A sealed archive (see docs/FORMAT.md): the plain archive encrypted and authenticated in
    // segments under a key for these. rewrite, when given, also puts the first segment in
    // place at the end (it is held until then); reread and cut are not used. wrongKey is
    // never returned; an unusable key set (none, or both kinds) is sealKeyMissing.
    const SealKeys* seal = nullptr;
};

// What became of an entry whose source did not give what the entry records (storeAsRead).
enum class SourceChange : uint8_t {
    // Not in the archive: its file could not be opened or read (reason: the system's words).
    leftOut,
    // Its size or bytes differ from the entry's: stored as read, the table giving the stored
    // bytes' size and CRC-32. A changed file is never the stored copy of others: those that
    // were equal to it are stored with bytes of their own (but for hard links of it).
    changed,
    // The archive cannot be corrected (no rewrite): the table keeps the entry's size and
    // CRC-32, the bytes stored are those read, cut or padded with zeros to that size, so that
    // a reader finds the entry's checksum does not match. reason: the system's words when a
    // read failed (the rest is zeros), empty when the file changed.
    mismatched,
};

struct SourceEvent {
    size_t entry = 0; // index into the entries given
    SourceChange change = SourceChange::changed;
    std::string reason;
};

struct WriteCallbacks {
    std::function<void()> started;                   // sources checked, about to write
    std::function<void(const ChunkProgress&)> chunk; // before each chunk
    std::function<void()> packed;                    // every chunk written, before the end
    // storeAsRead: a source that did not give what its entry records, in the order read (the
    // ones found while a chunk was read come before that chunk's progress).
    std::function<void(const SourceEvent&)> source;
};

struct WriteResult {
    uint64_t inputTotal = 0;   // bytes of all entries, duplicates included
    uint64_t archiveBytes = 0; // bytes written to the output
    uint32_t milliseconds = 0; // from the start of the stream to its end
    // Several threads: chunks compressed, those whose parse from a guessed search state was
    // rejected and parsed again, and those that waited for the true state instead.
    uint32_t chunks = 0;
    uint32_t chunksParsedAgain = 0;
    uint32_t chunksWaited = 0;
    // storeAsRead, when the table was corrected: for each entry of the archive written, in
    // its order, the index of the entry given it came from (empty: the entries as given).
    std::vector<size_t> stored;
};

// Writes an archive of entries (in archive order; the last one is never a duplicate). The
// names of the extension's folders and links are held to the rules of checkExtension.
Error writeArchive(const std::vector<NewEntry>& entries, const ByteWriter& output, const WriteOptions& options,
                   const WriteCallbacks& callbacks, WriteResult& result);

// ---- Reading ----------------------------------------------------------------------------

struct Entry {
    // UTF-8 as stored; on Windows a name that is not UTF-8 (an older program's, in a code
    // page) is read in the system's ANSI code page.
    std::string name;
    uint64_t size = 0;
    bool hasCrc = false;
    uint32_t crc = 0;
    bool duplicate = false; // same bytes as the next entry; the stream holds them once
};

// An archive open for reading, from a file (at its position: an archive may follow other
// bytes, as in a self-extracting program) or from memory.
struct Archive;
struct ArchiveDeleter {
    void operator()(Archive* archive) const;
};
using ArchivePtr = std::unique_ptr<Archive, ArchiveDeleter>;
ArchivePtr openArchive(FILE* file);
ArchivePtr openArchive(const uint8_t* data, size_t size);

struct TableCallbacks {
    std::function<void()> oldHeader; // the archive has the older header form
    // Each entry as it is read, numbered from 1 of count; a failure returned stops the reading.
    std::function<Error(const Entry&, int32_t number, int32_t count)> entry;
};

// Reads the header and the file table.
Error readTable(Archive& archive, const TableCallbacks& callbacks, std::vector<Entry>& entries);

// Refuses a name that could not become an output path on this system: one that climbs out
// of the output folder, and on Windows one naming a drive, a stream or a device. In an
// archive of more than one entry a name must begin with a separator.
Error checkName(const Entry& entry, bool oneEntry);

// The archive's extension, when its header says it has one: read and checked before anything
// is decoded when the header gives its place (a file or memory); otherwise (an archive that
// came through a pipe) only after the contents, see readTrailingExtension. present tells
// whether there is one at all.
bool hasExtension(const Archive& archive);
bool extensionFollowsStream(const Archive& archive); // its place is not in the header
// The extension can be read only after the contents: it follows the stream, or the archive
// comes through a pipe, which cannot be sought.
bool extensionAfterContents(const Archive& archive);
Error readExtension(Archive& archive, Extension& extension);
// After readContents or extractFiles: the extension, read on from where they stopped.
Error readTrailingExtension(Archive& archive, Extension& extension);

// Refuses, as damage, an extension whose records could not be restored as stored: a record
// name that does not begin with a separator or holds a NUL or a "..", "." or empty component,
// a record for the output folder itself, a name stored twice (two records, or a record and an
// entry), a name below a link record. On Windows also what checkName refuses.
Error checkExtension(const std::vector<Entry>& entries, const Extension& extension);

// Position of the archive's input after what has been read (bytes from its first byte in a
// file, including what stands before the archive).
uint64_t bytesRead(const Archive& archive);

// Where the archive's own bytes end, counted as bytesRead counts, as far as the reading so far
// tells: after its extension once that was read; else after the last bit of its stream once
// the stream was decoded to its end (the closing bytes, up to 24 more, not counted); 0 while
// unknown. A file's recovery block begins there.
uint64_t archiveEnd(const Archive& archive);

// Where the archive that begins at the file's position ends, counted from the file's first
// byte, when its header alone tells: after the extension whose place the header gives, as its
// head there says; 0 for any other archive, or when the header or head is not one. Moves the
// position. A failure is a read of the file that failed (with the system's reason).
Error archiveEndFromHeader(FILE* file, uint64_t& end);

struct ContentCallbacks {
    std::function<void(const ChunkProgress&)> chunk;
    // Bytes of entry index, in order, in pieces; false stops the reading.
    std::function<bool(size_t index, const uint8_t* bytes, size_t count)> bytes;
    // Entry index holds the same bytes as entry source (index - 1), which were all given.
    std::function<bool(size_t index, size_t source)> copy;
    // Entry index is complete.
    std::function<bool(size_t index)> done;
    // The entries wanted, by table index (empty: all). With a chunk index (an archive read
    // from a file or memory whose extension was read first) only the chunks that hold their
    // bytes are decoded; the callbacks may still see other entries.
    std::vector<bool> selected;
    // With a chunk index, a chunk that cannot be decoded or whose bytes differ from its
    // CRC-32 costs only the entries the damage reaches: its number (from 0), what is wrong, and
    // those entries (an entry begun before it is left unfinished: its done never comes). An
    // entry all of whose bytes were decoded before the damage was found, and whose CRC-32
    // matches, is given as usual (so is a run of copies with its stored entry). The reading
    // goes on. Without this callback such damage stops it. A chunk of noChunk says the
    // index did not match the stream (which was then read as the stream says).
    std::function<void(uint32_t chunk, const std::string& what, const std::vector<size_t>& entries)> damaged;
};
constexpr uint32_t noChunk = 0xFFFFFFFF;

// Decodes the stream after readTable and hands out every entry's bytes; a callback returning
// false stops it (ErrorCode::stopped). threads: 0 for one per core, also the most used.
Error readContents(Archive& archive, const std::vector<Entry>& entries, int threads, const ContentCallbacks& callbacks);

// ---- Extracting to files ----------------------------------------------------------------

enum class Answer { no, yes, all };

struct ExtractOptions {
    const char* output = nullptr; // the file of a one-entry archive, else a folder prefix;
                                  // null: the current folder
    bool forceOverwrite = false;
    int threads = 0; // 0: one per core, also the most used
    // The entries to write, by table index; empty: all. Only these are created, asked about
    // and validated, and the stream is decoded no further than the last of them (to its end
    // when the extension follows it).
    std::vector<bool> selected;
    // With a selection: the folder and link records to restore, by stored name (none when
    // not given); without one every record is restored.
    std::function<bool(const std::string& name)> selectsRecord;
    // The archive's metadata, when read before extracting: its folders are created first,
    // then the files written, then their modes and times set, then the links made, then the
    // folders' modes and times set, deepest first. Times and modes go only to what this
    // extraction made, and to folders that stood there before when overwriting is allowed
    // (forceOverwrite, or an answer of all); the typed output of a one-entry archive gets them
    // only when it was made new. Modes keep their permission and sticky bits; set-user and
    // set-group bits only when running as root; a process that is not root applies its umask.
    // When the archive has metadata that is not given here (it could not be read, or it comes
    // after the contents: see restoreMetadata), what is made is for its owner alone (Linux:
    // files 0600, folders 0700) until restoreMetadata gives it its mode.
    const Extension* extension = nullptr;
    // Extended attributes beyond user.*: access lists (by anyone, on what this extraction
    // makes) and, as root, the others (capabilities, the security and trusted namespaces).
    // Without it they are left out, and said through ExtractCallbacks::withheld.
    bool allAttributes = false;
};

// What a restore leaves out by rule rather than because the system refused (ExtractCallbacks::
// withheld): attributes that ExtractOptions::allAttributes would restore; an owner, set-user
// or set-group bits or attributes that only root restores, the process not being root.
constexpr uint32_t withheldOptIn = 1;
constexpr uint32_t withheldRootOnly = 2;

struct ExtractCallbacks {
    std::function<void(const ChunkProgress&)> chunk;
    // An output path exists: may it be overwritten? (not asked with forceOverwrite or after all)
    std::function<Answer(const std::string& path)> askOverwrite;
    // A piece of metadata the system would not take: what ("time", "mode", "owner",
    // "attribute", "link", "folder", "fifo", "device", or "hard link", written as a copy
    // instead), where, and why (the system's words; empty when it gave none). The files are
    // written all the same.
    std::function<void(const std::string& path, const char* what, const std::string& reason)> notRestored;
    // As ContentCallbacks::damaged: the entries of a damaged chunk are not written (what was
    // written of one begun before it is removed), and the extraction goes on.
    std::function<void(uint32_t chunk, const std::string& what, const std::vector<size_t>& entries)> damaged;
    // An item whose metadata was restored but for parts left out by rule (withheldOptIn,
    // withheldRootOnly bits, never none); once per item, only where the system has them.
    std::function<void(const std::string& path, uint32_t withheld)> withheld;
};

// The bytes of one entry, in pieces to bytes (false stops), decoding no more of the stream
// than it needs when the archive has a chunk index. A damaged chunk fails the reading.
Error readEntry(Archive& archive, const std::vector<Entry>& entries, size_t index,
                const std::function<bool(const uint8_t* bytes, size_t count)>& bytes);

// One extraction to files: the entries are written, then each can be validated.
struct Extraction;
struct ExtractionDeleter {
    void operator()(Extraction* extraction) const;
};
using ExtractionPtr = std::unique_ptr<Extraction, ExtractionDeleter>;

// Checks every name (checkName, checkExtension) and every output path, then decodes the
// stream after readTable and writes every entry below the output location. Every folder,
// file and link is made, and every mode and time set, through a handle of the folder above
// it, reached from the output folder one component at a time and never through a link: a
// link that stands on the way before extraction stops it before anything is written
// (outputThroughLink), one that appears later stops it there. Extraction never writes over
// the archive itself. An empty output path is refused (emptyOutputPath).
Error extractFiles(Archive& archive, const std::vector<Entry>& entries, const ExtractOptions& options,
                   const ExtractCallbacks& callbacks, ExtractionPtr& extraction);

// The CRC-32 of the file written for entry index, as it is on disk now.
Error writtenCrc(const Extraction& extraction, size_t index, uint32_t& crc);

// The path entry index was written to.
std::string outputPath(const Extraction& extraction, size_t index);

// Restores metadata read only after the files were written (an archive through a pipe):
// the folders, the files' modes and times, the links, the folders' modes and times; folders
// made owner-only that the metadata has no record of get the mode any new folder gets.
Error restoreMetadata(Extraction& extraction, const Extension& extension);

// How long decoding and writing the files took.
uint32_t extractMilliseconds(const Extraction& extraction);

// ---- Recovery data ----------------------------------------------------------------------
//
// A file may end in a recovery block that protects every byte before it (an archive, and a
// self-extracting program's own bytes too): the bytes cut into equal slices, a CRC-32 per
// slice, and parity slices of an erasure code, so that any damaged slices up to the number of
// parity slices can be rebuilt to the bytes that were written. The block's description and
// slice table are stored more than once; a fixed-size trailer at the very end finds the block
// without the archive's header. Readers of archives never reach it.

// Reads count bytes at offset at of a file or of memory; false when it cannot.
using RandomReader = std::function<bool(uint64_t at, uint8_t* bytes, size_t count)>;
RandomReader fileReader(FILE* file);
RandomReader memoryReader(const uint8_t* data, size_t size);

constexpr int maxProtectPercent = 50; // -protect=1 .. 50

struct RecoveryLayout {
    uint64_t protectedBytes = 0; // bytes before the block
    uint32_t sliceSize = 0;      // bytes per slice, a multiple of 64
    uint32_t dataSlices = 0;     // slices of the protected bytes (the last one may be short)
    uint32_t paritySlices = 0;
    uint64_t blockBytes = 0; // the whole block, trailer included
    int percent = 0;         // what was asked for: parity slices per 100 data slices, rounded up
};

// The layout for protecting protectedBytes (at least 1) with parity of percent (1 to 50) of
// the data slices.
RecoveryLayout planRecovery(uint64_t protectedBytes, int percent);

// Writes the recovery block of source's bytes 0..protectedBytes-1 to output (which then
// holds what follows them). Holds two blocks of M slices in memory, M the parity count rounded
// up to a power of two.
Error writeRecovery(const RandomReader& source, const RecoveryLayout& layout, const ByteWriter& output);

enum class RecoveryState {
    none,           // no recovery block found
    intact,         // every slice as written (a copy of the description or table may be damaged)
    repairable,     // damaged slices, no more than the parity slices
    beyondRepair,   // more damaged slices than parity slices, or no usable slice table
    lengthMismatch, // a block was found but the file is longer than it (or cut short of a layout
                    // this program would not have written)
};

struct RecoveryCheck {
    RecoveryState state = RecoveryState::none;
    RecoveryLayout layout;
    uint32_t damagedData = 0;   // damaged data slices
    uint32_t damagedParity = 0; // damaged parity slices
    bool copyDamaged = false;   // a copy of the description or of the slice table is damaged
    // The file ends this many bytes before its block does: cut short. What the cut took counts
    // as damage like any other: the slices as damaged, the copies as damaged copies.
    uint64_t missingBytes = 0;
    // Used by repairArchive and repairedView: per slice (data, then parity) whether it is
    // damaged and its CRC-32 as read, the chosen description and the slice table.
    std::vector<bool> damaged;
    std::vector<uint32_t> sliceCrcs;
    std::vector<uint8_t> description;
    std::vector<uint32_t> table;
    bool tableKnown = false;
};

// Finds the recovery block of a file of fileSize bytes: by its trailer, else by a copy of its
// description near the end, and with fullScan anywhere in the file; then checks every slice.
// A failure is a read that failed.
Error checkRecovery(const RandomReader& source, uint64_t fileSize, bool fullScan, RecoveryCheck& check);

// As checkRecovery, but finds the block by the first copy of its description only, where a
// reader found the archive's bytes to end (archiveEnd(archive), or within the closing bytes
// after it): for a file whose end, with the trailer and the copy near it, may be lost.
Error checkRecoveryAfter(const RandomReader& source, uint64_t fileSize, uint64_t archiveEnd, RecoveryCheck& check);

// Writes the whole file as it was written, damaged slices rebuilt (a file cut short to its
// full length), after checkRecovery found it repairable or intact. Every rebuilt slice is
// checked against its CRC-32 first; nothing is written when one differs.
Error repairArchive(const RandomReader& source, const RecoveryCheck& check, const ByteWriter& output);

// A damaged file read as repaired without writing it: the data slices the recovery data
// rebuilds (held in memory) stand in for the file's own, so that its protected bytes read as
// repairArchive would write them; the block after them (which readers of archives never reach)
// reads as the file holds it, and a file cut short reads on, as zeros, to the length it was
// written with.
struct RepairedView;
struct RepairedViewDeleter {
    void operator()(RepairedView* view) const;
};
using RepairedViewPtr = std::unique_ptr<RepairedView, RepairedViewDeleter>;

// After checkRecovery found the file repairable: its damaged data slices rebuilt and checked
// as repairArchive checks them.
Error repairedView(const RandomReader& source, const RecoveryCheck& check, RepairedViewPtr& view);

// An archive at the file's position, every byte read through the repaired view of that file
// (which stays alive while the archive is read).
ArchivePtr openArchive(FILE* file, const RepairedView* repaired);
// An archive read only through bytes given by position, from offset 0 (a sealed archive's
// plain bytes); the file is the one they come from.
struct PositionedBytes;
ArchivePtr openArchive(FILE* file, const PositionedBytes* source);
// Whether the file holds a sealed archive from its position.
bool isSealedArchive(FILE* file);
// A sealed archive at the file's position, opened with its passphrase or a secret key; read
// as any archive, through its authenticated plain bytes (a segment that does not authenticate
// is damage of the chunks it holds). Fails with wrongKey, sealCost, sealKeyMissing or
// damagedArchive before anything is read of its contents. repaired and end: a damaged file
// read through its recovery data (see repairedView) and where its sealed bytes end (0: at the
// file's end).
Error openSealedArchive(FILE* file, const SealKeys& keys, ArchivePtr& archive, const RepairedView* repaired = nullptr,
                        uint64_t end = 0);

} // namespace qv5
