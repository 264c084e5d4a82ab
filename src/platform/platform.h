#pragma once
// The only interface to the operating system. Each call stands for one Windows service of
// the program's design; platform_win32.cpp uses the real calls, platform_posix.cpp gives
// the same behaviour on Linux.
#include "qv5/qv5.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qv5 {

// ---- Why a call failed --------------------------------------------------------------------
//
// A call of this layer that fails keeps, for the thread that made it, why: the system's error
// (errno; on Windows GetLastError) or, where the refusal is the program's own (a FIFO where a
// regular file was asked for), a reason of its own. It is read right after the failure, before
// another call of this layer can replace it. Calls that only look at what stands somewhere
// (entryKindOf, stateBelow, followedIdentityBelow, identityOfPath, identityOfFile) keep nothing.

// The last failure kept on this thread, in the system's words (UTF-8); empty when none.
std::string lastFailureReason();
// Forgets it (and the system's own last error): what fails afterwards is told apart from what
// failed before.
void clearFailure();
// Keeps why a C stream call (fread, fwrite, fflush, fclose, a seek) of this thread just failed.
void noteStreamFailure();

// Every name and path the program handles is UTF-8; the Windows build converts at the calls
// below and hands the system UTF-16, in the \\?\ form where a path is too long for the plain
// one.

// Longest path, in bytes of UTF-8, that the program handles: the width of the file-record
// name fields.
extern const size_t maxPathLength;

// The program's arguments as UTF-8 (on Windows read as UTF-16 from the system, whatever the
// code page; elsewhere argv as it is).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// A name read from an archive as the program handles it: UTF-8, as stored. On Windows a name
// that is not UTF-8 was written by an older program in the system's ANSI code page and is
// converted from it; on Linux it stays raw bytes, which the file system takes as they are.
std::string nameFromArchive(std::string stored);

// Identity of a file independent of how its path is spelled (device and inode, or volume
// serial and file index). Invalid when it could not be determined.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t index = 0;
    bool valid = false;
};
bool sameFile(const FileIdentity& a, const FileIdentity& b);

// What stands at an entry that is neither a file nor a folder and is never opened, since
// reading it could block forever: a FIFO, a character or block device, a socket (Linux only).
enum class Special : uint8_t { none, fifo, device, socket };

struct DirEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;             // a symbolic link (Windows: a reparse point) to what isFolder says
    bool dangling = false;           // a link that leads nowhere
    Special special = Special::none; // what the entry (or the link, followed) is, when special
    FileIdentity identity;           // folders only, where the enumeration can tell
    // Why the entry could not be examined (listed in a folder that cannot be searched); empty
    // when it was.
    std::string unreadable;
};

// Absolute form of an input argument, trailing separators removed. False when the result
// does not fit maxPathLength.
bool fullPathName(const std::string& argument, std::string& fullPath);

// All entries matching a search path whose last component is a pattern (with * and ?) or
// one name: entries, or nothing (no match, or the name or the folder is not there), or failed
// (the folder or the name could not be read; lastFailureReason says why, and after nothing
// why the name or folder is missing).
enum class Listed { entries, nothing, failed };
Listed findEntries(const std::string& searchPath, std::vector<DirEntry>& entries);

// Modification time and permission bits of what stands at a path (a link itself, not what
// it leads to), or of an open file. On Windows the mode is made from the attributes: 0755
// for a folder, 0644 for a file, read-only clears the write bits, hidden and system set the
// bits above 07777 that the library's metadata defines for them; setting a mode there sets
// read-only when no write bit is on.
struct FileMetadata {
    int64_t modifiedNs = 0;
    uint32_t mode = 0;
    // What only Linux gives (left as they are on Windows): the owner, the names the entry
    // has (hard links) and its identity, whether its blocks cover less than its size, and
    // what kind of special file it is with its device numbers.
    bool hasOwner = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t linkCount = 1;
    FileIdentity identity;
    bool sparse = false;
    bool special = false; // a FIFO or a device node: kind, major and minor say which
    SpecialKind specialKind = SpecialKind::fifo;
    uint32_t major = 0;
    uint32_t minor = 0;
};
bool metadataOfPath(const std::string& path, FileMetadata& metadata);
bool metadataOfFile(FILE* file, FileMetadata& metadata);
// The text of a symbolic link.
bool readLinkText(const std::string& path, std::string& target);

// The extended attributes of what stands at path (a link itself is not read: false), in the
// system's order; false when they cannot be read (an empty list where the file system has
// none).
bool readAttributes(const std::string& path, std::vector<Attribute>& attributes);

// The names of each owner's user and group numbers (empty where the system has none), each
// number looked up once (many at once by one walk of the system's lists).
void ownerNames(std::vector<Owner>& owners);
// The numbers to restore each owner with: for those marked used, by name where the name exists
// here, else by number; for the others, by number. Each name is looked up once (many at once
// by one walk of the system's lists), so that the time grows with the owners, not their square.
void ownerNumbers(const std::vector<Owner>& owners, const std::vector<bool>& used,
                  std::vector<std::pair<uint32_t, uint32_t>>& ids);
// Whether the process may restore owners, devices and attributes other than user.* (root).
bool runningAsRoot();
// The user and group the process makes files as; false where the system has no such owners.
bool processOwner(uint32_t& uid, uint32_t& gid);
// True where the system has permission bits that keep others out, owners, set-user and
// set-group bits and extended attributes (Linux); elsewhere none of them is restored, nor
// counted as left out, and nothing is made owner-only.
extern const bool posixMetadata;

// 64-bit size of an existing file, opened for reading with read and write sharing.
bool querySize(const std::string& path, int64_t& size);

// "rb": only regular files open, so a folder is never taken for an existing file.
FILE* openRead(const std::string& path);
// "wb": creates or truncates.
FILE* openWrite(const std::string& path);
int seekFile(FILE* file, int64_t offset, int origin);
int64_t tellFile(FILE* file);
// Reads up to count bytes at offset of an open file without using or moving its stream
// position, so that several threads may read one file at once; fewer at its end. failed is
// set on a read error.
size_t readFileAt(FILE* file, uint64_t offset, uint8_t* bytes, size_t count, bool& failed);
// Size of an open file, without moving its position or reading from it.
bool sizeOfFile(FILE* file, int64_t& size);
// Whether an open file lies on a file system whose files are made when read (Linux: /proc,
// /sys and their kin), so that its size says nothing of its bytes.
bool isVirtualFile(FILE* file);
// Ends a file open for writing after length bytes and puts its position there.
bool cutFile(FILE* file, uint64_t length);
// Opens path as openRead does, measures the file as sizeOfFile does and closes it, in fewer
// system calls than the three of them (no stream is made): for checking many files at once.
enum class ReadableSize : uint8_t { measured, unopened, unmeasured };
ReadableSize sizeOfReadable(const std::string& path, int64_t& size);

// Asks for large pages behind a large buffer not yet written: the match finder and the
// decoder read their buffers at random, and with small pages most of those reads also miss
// the address cache. Only a hint, and a no-op where large pages need a privilege.
void adviseLargePages(void* buffer, size_t bytes);
bool removeFile(const std::string& path);

// What stands at a path, its last component not followed: a symbolic link (on Windows any
// reparse point: symbolic link or junction) is a link whatever it leads to.
enum class EntryKind { missing, file, folder, link, other };
EntryKind entryKindOf(const std::string& path);

// The path a chain of symbolic links at path ends at (path itself when it is none); false
// when the chain cannot be followed (too long, unreadable), or when a link of it stands in a
// sticky folder that anyone may write (/tmp) and belongs to neither the running user nor the
// folder's owner: one planted by another user, which the system's own rule for such folders
// would not follow either (whatever it is set to).
bool linkTarget(const std::string& path, std::string& target);

// A new file beside path (same folder), created exclusively for writing under a fresh name
// returned in temporaryPath, with the permission bits of the regular file at path when
// there is one. Removed again at exit by a signal that ends the process
// (forgetTemporary() once it is renamed or removed).
FILE* createTemporaryBeside(const std::string& path, std::string& temporaryPath);
void forgetTemporary();
// Puts the file at from in place of to, replacing what is there, in one step.
bool replaceWith(const std::string& from, const std::string& to);

FileIdentity identityOfPath(const std::string& path);
FileIdentity identityOfFile(FILE* file);

// ---- Extraction below an output folder ----------------------------------------------------
//
// Everything extraction creates is reached from a held output folder one name at a time,
// never through a link, so that no path check can be raced or bypassed: Linux resolves each
// name relative to the descriptor of the folder above it (openat and the other *at calls with
// O_NOFOLLOW); Windows opens each folder as itself (never a reparse point) and holds it open
// without delete sharing, so that it can be neither renamed nor swapped for a junction while
// what lies below it is made. A name here is one component: no separator, never "." or "..".

struct HeldFolder; // a folder held open; what it holds is the platform's own
void releaseFolder(HeldFolder* folder);
struct HeldFolderRelease {
    void operator()(HeldFolder* folder) const { releaseFolder(folder); }
};
using HeldFolderPtr = std::unique_ptr<HeldFolder, HeldFolderRelease>;

// The folder at a path the caller chose (links on it followed: the caller named it), made
// with its missing parents first when create is set. Null when it cannot be held.
HeldFolderPtr holdFolder(const std::string& path, bool create);

// What stands at name in a held folder, the entry itself (a link is a link).
struct EntryState {
    EntryKind kind = EntryKind::missing;
    FileIdentity identity;
    int64_t size = 0;
    std::string unreadable; // the system's reason when what stands there could not be looked at
};
EntryState stateBelow(const HeldFolder& parent, const std::string& name);
// The identity of what name leads to, links followed (invalid when nothing).
FileIdentity followedIdentityBelow(const HeldFolder& parent, const std::string& name);
// The identity of a held folder itself.
FileIdentity identityOfFolder(const HeldFolder& folder);

// The folder name in parent, made first when create is set (created tells whether this call
// made it; ownerOnly: for its owner alone, 0700 on Linux). Fails with link when a link
// (Windows: a reparse point) stands there.
enum class Reached { folder, missing, link, other };
Reached holdFolderBelow(const HeldFolder& parent, const std::string& name, bool create, HeldFolderPtr& folder,
                        bool& created, bool ownerOnly = false);

// A new regular file at name, open for writing (ownerOnly: for its owner alone, 0600 on
// Linux); fails when anything stands there.
FILE* createFileBelow(const HeldFolder& parent, const std::string& name, bool ownerOnly = false);
// A new empty file put in place of what stands at name (a file, a link, a FIFO, a device; never
// a folder), open for writing: whoever holds the old one open or mapped sees none of what is
// written, nor its owner or mode. Made beside it and renamed over it, so that the name is
// never missing; a file of the user's own keeps its permissions unless ownerOnly.
FILE* replaceFileBelow(const HeldFolder& parent, const std::string& name, bool ownerOnly = false);
// The regular file at name, open for reading, when it is the one expected (any, when expected
// is not valid); never through a link, never a FIFO or a device.
FILE* readFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected);
// Removes what stands at name: a file, a link (never what it leads to), a special file.
bool removeBelow(const HeldFolder& parent, const std::string& name);
// A symbolic link at name holding target; folder says what it leads to (Windows makes the
// two kinds apart). False when the system refuses or made no link.
bool createLinkBelow(const HeldFolder& parent, const std::string& name, const std::string& target, bool folder);

// The kinds of extended attributes, by what restoring them takes: user.* anyone may set on
// what they own; access lists (system.posix_acl_*) the owner too; the rest (security.*, such
// as capabilities, trusted.*, the other system.*) only root.
enum AttributeKind : uint8_t { userAttribute = 1, aclAttribute = 2, privilegedAttribute = 4 };
inline AttributeKind attributeKind(const std::string& name)
{
    if (name.rfind("user.", 0) == 0) return userAttribute;
    if (name.rfind("system.posix_acl_", 0) == 0) return aclAttribute;
    return privilegedAttribute;
}

// What to set on one entry: owner first (it clears set-user bits and capabilities), then the
// extended attributes of the kinds asked for, the time, the mode.
struct RestorePlan {
    int64_t modifiedNs = 0;
    bool withTime = true;
    bool withMode = true;
    uint32_t mode = 0;
    bool withOwner = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    const std::vector<Attribute>* attributes = nullptr;
    uint8_t attributeKinds = userAttribute; // AttributeKind bits: the attributes set, the others left out
    // > 0: first the file's runs of zeros that fill whole blocks of this size become holes (a
    // sparse file written before the archive said so). Linux only; the bytes stay the same.
    uint32_t holeBlock = 0;
};
// What the system took, and its words where it refused; attribute names the first attribute
// it refused (empty: none).
struct Restored {
    bool time = true;
    bool mode = true;
    bool owner = true;
    std::string attribute;
    std::string timeReason;
    std::string modeReason;
    std::string ownerReason;
    std::string attributeReason;
};
// Nothing of the plan restored, for one reason.
inline Restored nothingRestored(const RestorePlan& plan, const std::string& reason)
{
    Restored restored;
    restored.time = !plan.withTime;
    if (plan.withTime) restored.timeReason = reason;
    restored.mode = !plan.withMode;
    if (plan.withMode) restored.modeReason = reason;
    restored.owner = !plan.withOwner;
    if (plan.withOwner) restored.ownerReason = reason;
    return restored;
}

// Set through a handle of the entry at name, only when it is the one expected (a file, folder
// or special file this extraction made): never through a link, never on anything else.
Restored restoreBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected,
                      const RestorePlan& plan);
// The same through a file this extraction has open for writing, its last byte written.
Restored restoreOpenFile(FILE* file, const RestorePlan& plan);
// The same on a held folder itself (one that stood there before extraction): through its
// handle, never through a link.
Restored restoreHeldFolder(const HeldFolder& folder, const RestorePlan& plan);
// The time and owner of the link at name itself (a link's mode means nothing).
Restored restoreLinkBelow(const HeldFolder& parent, const std::string& name, const RestorePlan& plan);

// A FIFO or a device node at name (devices need root), with the identity of what was made,
// taken through a handle and checked to be it (of its kind, the user's, with no other name)
// before anything is set on it. False when the system refuses or something else stands there.
bool createSpecialBelow(const HeldFolder& parent, const std::string& name, SpecialKind kind, uint32_t major,
                        uint32_t minor, FileIdentity& made);

// A regular file held as itself (not opened for reading or writing), to give it a second
// name: only the one expected, never through a link.
struct HeldItem;
void releaseItem(HeldItem* item);
struct HeldItemRelease {
    void operator()(HeldItem* item) const { releaseItem(item); }
};
using HeldItemPtr = std::unique_ptr<HeldItem, HeldItemRelease>;
HeldItemPtr holdFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected);
// A hard link at name in parent to the held file. False when the system refuses.
bool createHardLinkBelow(const HeldItem& file, const HeldFolder& parent, const std::string& name);

// Writes a run of zero bytes as a hole: the file's position moves on, nothing is written.
bool skipZeros(FILE* file, uint64_t count);
// Ends a file whose last bytes were holes at its size.
bool endFileAt(FILE* file, uint64_t size);

// The mode bits a restore applies of a stored mode: the permission bits and the sticky bit;
// set-user and set-group only when the process runs as root; without root the process's
// umask is applied, as other archivers do. On Windows the attributes the mode stands for.
uint32_t restorableMode(uint32_t stored);
// The mode a folder made without one of its own has (0777 less the umask on Linux).
uint32_t defaultFolderMode();

// The file at a path the caller typed for a one-entry archive, as given (it may be a link
// or a device): made new when nothing stands there (created tells; ownerOnly: for its owner
// alone, as createFileBelow), else opened as "wb".
FILE* openTypedOutput(const std::string& path, bool& created, bool ownerOnly = false);

// Path of the running executable.
bool moduleFileName(std::string& path);

// Gives a freshly written file execute permission as a linker's output gets (no-op where
// executables are recognised by name).
void markExecutable(const std::string& path);

// Whether a stream is a terminal (an archive is never written to or read from one).
bool isTerminal(FILE* stream);
// Writes the program's UTF-8 text to a standard stream: to a Windows console window as
// UTF-16, so that names show whatever the console's code page; elsewhere (a file, a pipe,
// Linux) as the bytes they are.
void writeText(FILE* stream, const std::string& text);
// Puts a standard stream into binary mode, so that archive bytes pass through unchanged.
void useBinaryMode(FILE* stream);

// Where questions are read when standard input carries the archive: the terminal (/dev/tty,
// CONIN$); null when the process has none.
FILE* openTerminalInput();
// Reads a line typed on the terminal (/dev/tty, CONIN$) without echoing it, after showing the
// prompt there; false when there is no terminal. The line's end is not kept.
bool readSecretLine(const char* prompt, std::string& line);
// Creates (or replaces) a file only its owner may read and write, for a secret key.
FILE* openSecretOutput(const std::string& path);

// Settings the process needs before it writes anything: a write beyond the file-size limit
// fails like any failed write (reported, temporary files removed) instead of ending the
// process with SIGXFSZ.
void prepareProcess();

// The console "pause": waits for one key; returns at once at the end of input.
void pauseConsole();

// Milliseconds since the program started.
uint32_t clockMs();

// Prefix for a multi-file extraction into the current folder.
const char* currentFolderPrefix();

// True on targets whose file system gives names more meaning than Linux does: ':' names a
// drive or a stream, device names such as CON exist in every folder, and trailing dots and
// spaces of a component are dropped.
extern const bool windowsNames;

// True where the system gives names as Unicode (stored as UTF-8); elsewhere names are the
// system's raw bytes.
extern const bool namesAreUnicode;

// True where the file system takes names without regard to ASCII case (Windows), so that
// patterns the user types about names follow the same rule.
extern const bool namesIgnoreCase;

// A name component as the file system tells names apart: on Windows without its trailing
// dots and spaces (which the system drops) and in upper case (the system's own mapping), so
// that two spellings of one file compare equal; elsewhere the component as it is.
std::string comparableName(const std::string& component);

} // namespace qv5
