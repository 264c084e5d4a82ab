// Linux stand-ins for the Windows services the program was designed around.
#include "platform/platform.h"
#include "platform/utf8.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <random>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>
#include <map>
#include <set>
#include <vector>

namespace qv5 {

const size_t maxPathLength = 1023;
const bool windowsNames = false;
const bool namesAreUnicode = false;
const bool namesIgnoreCase = false;
const bool posixMetadata = true;

namespace {

// Why the last failing call of this layer failed, per thread: an errno, or a reason of ours.
struct Failure {
    int code = 0;
    const char* own = nullptr;
};
thread_local Failure lastFailure;

// Keeps errno (or code) as the reason of the call that just failed; errno itself is left as it
// was, so that a caller that reads it sees the same.
void noteFailure(int code = errno)
{
    lastFailure = Failure{code, nullptr};
}

void noteOwnFailure(const char* reason)
{
    lastFailure = Failure{0, reason};
}

std::string reasonOf(int code)
{
    char buffer[256];
    return ::strerror_r(code, buffer, sizeof buffer); // the GNU form: the text, wherever it is
}

constexpr const char* notRegular = "not a regular file";
constexpr const char* notTheOneMade = "another entry stands there now";
constexpr const char* plantedLink = "a link another user made in a shared folder is not followed";

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}

// Paths handed to the system use '/' only.
std::string systemPath(const std::string& path)
{
    std::string result = path;
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

FileIdentity identityOf(const struct stat& st)
{
    FileIdentity id;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.valid = true;
    return id;
}

// '*' matches any run of characters, '?' exactly one (all the bytes of a UTF-8 sequence);
// "*.*" matches every name as on Windows, dotted or not.
bool matchPattern(std::string_view pattern, std::string_view name)
{
    if (pattern == "*.*") return true;
    constexpr size_t none = std::string_view::npos;
    size_t p = 0;
    size_t n = 0;
    size_t starPattern = none;
    size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = ++p;
            starName = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += characterLength(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starPattern != none) {
            p = starPattern;
            starName += characterLength(name, starName);
            n = starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// What stands at path, links followed (a link that leads nowhere is dangling); false, with
// the reason kept, when nothing can be said.
bool describe(const std::string& path, DirEntry& entry)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        noteFailure();
        return false;
    }
    entry.isLink = S_ISLNK(st.st_mode);
    if (entry.isLink && ::stat(path.c_str(), &st) != 0) {
        entry.dangling = true; // missing, a loop, or out of reach: nothing to read either way
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        entry.isFolder = true;
        entry.identity = identityOf(st);
    } else if (S_ISFIFO(st.st_mode)) {
        entry.special = Special::fifo;
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        entry.special = Special::device;
    } else if (S_ISSOCK(st.st_mode)) {
        entry.special = Special::socket;
    }
    return true;
}

// A name or folder that is not there: nothing found, no failure to read.
bool isMissing(int code)
{
    return code == ENOENT || code == ENOTDIR;
}

const auto startTime = std::chrono::steady_clock::now();

} // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0));
}

std::string nameFromArchive(std::string stored)
{
    return stored;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.index == b.index;
}

bool fullPathName(const std::string& argument, std::string& fullPath)
{
    std::string joined;
    if (!argument.empty() && isSeparator(argument[0])) {
        joined = argument;
    } else {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) return false;
        joined = std::string(cwd) + "/" + argument;
    }
    // Lexical normalisation: collapse separators, drop ".", let ".." remove the component
    // before it; symbolic links are not followed.
    std::vector<std::string> components;
    size_t i = 0;
    while (i < joined.size()) {
        while (i < joined.size() && isSeparator(joined[i])) ++i;
        size_t start = i;
        while (i < joined.size() && !isSeparator(joined[i])) ++i;
        if (i == start) break;
        std::string component = joined.substr(start, i - start);
        if (component == ".") continue;
        if (component == "..") {
            if (!components.empty()) components.pop_back();
            continue;
        }
        components.push_back(std::move(component));
    }
    std::string result;
    for (const std::string& component : components) {
        result += '/';
        result += component;
    }
    if (result.empty()) result.push_back('/');
    if (result.size() > maxPathLength) return false;
    fullPath = std::move(result);
    return true;
}

std::string lastFailureReason()
{
    if (lastFailure.own) return lastFailure.own;
    return lastFailure.code != 0 ? reasonOf(lastFailure.code) : std::string();
}

void clearFailure()
{
    lastFailure = Failure();
    errno = 0;
}

void noteStreamFailure()
{
    lastFailure = Failure{errno, nullptr}; // none when the stream gave no reason
}

Listed findEntries(const std::string& searchPath, std::vector<DirEntry>& entries)
{
    entries.clear();
    size_t cut = searchPath.find_last_of("/\\");
    std::string folder;
    std::string pattern;
    if (cut == std::string::npos) {
        folder = ".";
        pattern = searchPath;
    } else {
        folder = cut == 0 ? std::string("/") : searchPath.substr(0, cut);
        pattern = searchPath.substr(cut + 1);
    }
    if (pattern.empty()) {
        noteOwnFailure("a root folder is no input; name what is in it");
        return Listed::nothing;
    }
    folder = systemPath(folder);
    std::string folderSlash = folder == "/" ? folder : folder + "/";

    if (pattern.find_first_of("*?") == std::string::npos) {
        DirEntry entry;
        if (!describe(folderSlash + pattern, entry)) return isMissing(errno) ? Listed::nothing : Listed::failed;
        entry.name = pattern;
        entries.push_back(std::move(entry));
        return Listed::entries;
    }

    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        noteFailure();
        return isMissing(errno) ? Listed::nothing : Listed::failed;
    }
    // Each name with whether the listing already says it is a regular file: all there is to
    // know of one, so once an lstat in the folder succeeded (it may be searched), the others
    // need none (each a walk of the whole path).
    std::vector<std::pair<std::string, bool>> names;
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(dir);
        if (!d) break;
        if (matchPattern(pattern, d->d_name)) names.emplace_back(d->d_name, d->d_type == DT_REG);
    }
    if (errno != 0) {
        noteFailure();
        ::closedir(dir);
        return Listed::failed;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end()); // byte order, so runs are reproducible
    bool searchable = false;
    for (auto& [name, regular] : names) {
        DirEntry entry;
        if (name == "." || name == "..") {
            entry.isFolder = true; // skipped by discovery's dot rule; never followed
        } else if (!(regular && searchable)) {
            if (describe(folderSlash + name, entry)) {
                searchable = true;
            } else {
                // Gone since it was listed: nothing is lost. Otherwise (a folder that may be
                // listed but not searched) what it is cannot be known.
                if (isMissing(errno)) continue;
                entry = DirEntry();
                entry.unreadable = lastFailureReason();
            }
        }
        entry.name = std::move(name);
        entries.push_back(std::move(entry));
    }
    return entries.empty() ? Listed::nothing : Listed::entries;
}

namespace {

FileMetadata metadataOf(const struct stat& st)
{
    FileMetadata metadata;
    metadata.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    metadata.mode = static_cast<uint32_t>(st.st_mode & 07777);
    metadata.hasOwner = true;
    metadata.uid = static_cast<uint32_t>(st.st_uid);
    metadata.gid = static_cast<uint32_t>(st.st_gid);
    metadata.linkCount = static_cast<uint64_t>(st.st_nlink);
    metadata.identity = identityOf(st);
    // Blocks of 512 bytes, whatever the file system's block size.
    metadata.sparse =
        S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_blocks) * 512 < static_cast<uint64_t>(st.st_size);
    metadata.special = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    metadata.specialKind = S_ISCHR(st.st_mode)   ? SpecialKind::characterDevice
                           : S_ISBLK(st.st_mode) ? SpecialKind::blockDevice
                                                 : SpecialKind::fifo;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        metadata.major = static_cast<uint32_t>(major(st.st_rdev));
        metadata.minor = static_cast<uint32_t>(minor(st.st_rdev));
    }
    return metadata;
}

} // namespace

bool metadataOfPath(const std::string& path, FileMetadata& metadata)
{
    struct stat st;
    if (::lstat(systemPath(path).c_str(), &st) != 0) {
        noteFailure();
        return false;
    }
    metadata = metadataOf(st);
    return true;
}

bool metadataOfFile(FILE* file, FileMetadata& metadata)
{
    struct stat st;
    if (!file || ::fstat(::fileno(file), &st) != 0) {
        noteFailure();
        return false;
    }
    metadata = metadataOf(st);
    return true;
}

bool readLinkText(const std::string& path, std::string& target)
{
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink(systemPath(path).c_str(), buffer.data(), buffer.size());
    if (n < 0 || static_cast<size_t>(n) >= buffer.size()) {
        noteFailure(n < 0 ? errno : ENAMETOOLONG);
        return false;
    }
    target.assign(buffer.data(), static_cast<size_t>(n));
    return true;
}

bool readAttributes(const std::string& path, std::vector<Attribute>& attributes)
{
    attributes.clear();
    const std::string system = systemPath(path);
    std::vector<char> names;
    for (;;) {
        ssize_t size = ::llistxattr(system.c_str(), nullptr, 0);
        if (size < 0) return errno == ENOTSUP; // a file system without them has none
        names.resize(static_cast<size_t>(size));
        size = size == 0 ? 0 : ::llistxattr(system.c_str(), names.data(), names.size());
        if (size >= 0) {
            names.resize(static_cast<size_t>(size));
            break;
        }
        if (errno != ERANGE) return false; // grown meanwhile: asked again
    }
    for (size_t at = 0; at < names.size();) {
        Attribute attribute;
        attribute.name = names.data() + at;
        at += attribute.name.size() + 1;
        for (;;) {
            ssize_t size = ::lgetxattr(system.c_str(), attribute.name.c_str(), nullptr, 0);
            if (size < 0) return errno == ENODATA ? true : false;
            attribute.value.resize(static_cast<size_t>(size));
            size = size == 0 ? 0
                             : ::lgetxattr(system.c_str(), attribute.name.c_str(), attribute.value.data(),
                                           attribute.value.size());
            if (size >= 0) {
                attribute.value.resize(static_cast<size_t>(size));
                break;
            }
            if (errno != ERANGE) return false;
        }
        attributes.push_back(std::move(attribute));
    }
    return true;
}

namespace {

// One walk of the system's list of users or groups: take(name, number) for each entry.
template <class Take>
void walkUsers(Take take)
{
    ::setpwent();
    while (const struct passwd* account = ::getpwent()) take(std::string(account->pw_name), uint32_t(account->pw_uid));
    ::endpwent();
}

template <class Take>
void walkGroups(Take take)
{
    ::setgrent();
    while (const struct group* team = ::getgrent()) take(std::string(team->gr_name), uint32_t(team->gr_gid));
    ::endgrent();
}

// One entry asked for by name or by number.
bool userNumber(const std::string& name, uint32_t& number)
{
    std::vector<char> buffer(16384);
    struct passwd account;
    struct passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &account, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    number = static_cast<uint32_t>(account.pw_uid);
    return true;
}

bool groupNumber(const std::string& name, uint32_t& number)
{
    std::vector<char> buffer(16384);
    struct group team;
    struct group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &team, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    number = static_cast<uint32_t>(team.gr_gid);
    return true;
}

bool userName(uint32_t number, std::string& name)
{
    std::vector<char> buffer(16384);
    struct passwd account;
    struct passwd* found = nullptr;
    if (::getpwuid_r(number, &account, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    name = account.pw_name;
    return true;
}

bool groupName(uint32_t number, std::string& name)
{
    std::vector<char> buffer(16384);
    struct group team;
    struct group* found = nullptr;
    if (::getgrgid_r(number, &team, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    name = team.gr_name;
    return true;
}

// What the keys wanted (names or numbers) stand for here. Each lookup reads the list anew:
// many keys are found by one walk of it first; a source that cannot be walked (a directory
// service) still answers for a bounded number of the rest, one by one. The first entry of a
// key wins, as a lookup would find it.
template <class Key, class Value, class Find, class Walk>
std::map<Key, Value> lookedUp(const std::set<Key>& wanted, Find find, Walk walk)
{
    std::map<Key, Value> found;
    if (wanted.size() > 32) {
        walk([&](const Key& key, const Value& value) {
            if (wanted.count(key)) found.emplace(key, value);
        });
    }
    size_t asked = 0;
    for (const Key& key : wanted) {
        Value value{};
        if (found.count(key) || asked++ >= 256) continue;
        if (find(key, value)) found.emplace(key, value);
    }
    return found;
}

} // namespace

void ownerNumbers(const std::vector<Owner>& owners, const std::vector<bool>& used,
                  std::vector<std::pair<uint32_t, uint32_t>>& ids)
{
    std::set<std::string> users, groups;
    for (size_t i = 0; i < owners.size(); ++i) {
        if (i >= used.size() || !used[i]) continue;
        if (!owners[i].user.empty()) users.insert(owners[i].user);
        if (!owners[i].group.empty()) groups.insert(owners[i].group);
    }
    const auto userIds = lookedUp<std::string, uint32_t>(users, userNumber, [](auto take) { walkUsers(take); });
    const auto groupIds = lookedUp<std::string, uint32_t>(groups, groupNumber, [](auto take) { walkGroups(take); });
    ids.clear();
    ids.reserve(owners.size());
    for (const Owner& owner : owners) {
        auto user = userIds.find(owner.user);
        auto group = groupIds.find(owner.group);
        ids.emplace_back(user != userIds.end() ? user->second : owner.uid,
                         group != groupIds.end() ? group->second : owner.gid);
    }
}

void ownerNames(std::vector<Owner>& owners)
{
    std::set<uint32_t> uids, gids;
    for (const Owner& owner : owners) {
        uids.insert(owner.uid);
        gids.insert(owner.gid);
    }
    const auto users = lookedUp<uint32_t, std::string>(uids, userName, [](auto take) {
        walkUsers([&](const std::string& name, uint32_t number) { take(number, name); });
    });
    const auto groups = lookedUp<uint32_t, std::string>(gids, groupName, [](auto take) {
        walkGroups([&](const std::string& name, uint32_t number) { take(number, name); });
    });
    for (Owner& owner : owners) {
        auto user = users.find(owner.uid);
        auto group = groups.find(owner.gid);
        owner.user = user != users.end() ? user->second : std::string();
        owner.group = group != groups.end() ? group->second : std::string();
    }
}

bool runningAsRoot()
{
    static const bool root = ::geteuid() == 0;
    return root;
}

bool processOwner(uint32_t& uid, uint32_t& gid)
{
    static const uint32_t user = static_cast<uint32_t>(::geteuid());
    static const uint32_t group = static_cast<uint32_t>(::getegid());
    uid = user;
    gid = group;
    return true;
}

bool querySize(const std::string& path, int64_t& size)
{
    struct stat st;
    if (::stat(systemPath(path).c_str(), &st) != 0) {
        noteFailure();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        noteOwnFailure(notRegular);
        return false;
    }
    size = static_cast<int64_t>(st.st_size);
    return true;
}

namespace {

// How a file to be read is opened. Non-blocking, so that opening a fifo does not wait for a
// writer before it is refused; the flag means nothing for the regular files that are kept.
constexpr int readFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Whether a descriptor just opened (or -1, the failure noted) is a regular file, and when
// expected is valid that very one; st is its status then.
bool openedRegular(int fd, const FileIdentity& expected, struct stat& st)
{
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        noteFailure();
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        noteOwnFailure(notRegular);
        return false;
    }
    if (expected.valid && !sameFile(identityOf(st), expected)) {
        noteOwnFailure(notTheOneMade);
        return false;
    }
    return true;
}

// A stream for reading a descriptor just opened: only a regular file (when expected is valid,
// that very one); the descriptor is closed otherwise.
FILE* readableStream(int fd, const FileIdentity& expected)
{
    struct stat st;
    FILE* file = nullptr;
    if (openedRegular(fd, expected, st) && !(file = ::fdopen(fd, "rb"))) noteFailure();
    if (!file && fd >= 0) ::close(fd);
    return file;
}

} // namespace

FILE* openRead(const std::string& path)
{
    // Opened first and checked through the descriptor: one walk of the path instead of two.
    return readableStream(::open(systemPath(path).c_str(), readFlags), FileIdentity());
}

ReadableSize sizeOfReadable(const std::string& path, int64_t& size)
{
    // openRead's checks, without the stream: one fstat gives the kind and the size.
    const int fd = ::open(systemPath(path).c_str(), readFlags);
    struct stat st;
    const bool regular = openedRegular(fd, FileIdentity(), st);
    if (regular) size = static_cast<int64_t>(st.st_size);
    if (fd >= 0) ::close(fd);
    return regular ? ReadableSize::measured : ReadableSize::unopened;
}

FILE* openWrite(const std::string& path)
{
    FILE* file = std::fopen(systemPath(path).c_str(), "wb");
    if (!file) noteFailure();
    return file;
}

int seekFile(FILE* file, int64_t offset, int origin)
{
    const int result = ::fseeko(file, static_cast<off_t>(offset), origin);
    if (result != 0) noteFailure();
    return result;
}

int64_t tellFile(FILE* file)
{
    const int64_t at = static_cast<int64_t>(::ftello(file));
    if (at < 0) noteFailure();
    return at;
}

bool removeFile(const std::string& path)
{
    if (std::remove(systemPath(path).c_str()) == 0) return true;
    noteFailure();
    return false;
}

EntryKind entryKindOf(const std::string& path)
{
    struct stat st;
    if (::lstat(systemPath(path).c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? EntryKind::missing : EntryKind::other;
    }
    if (S_ISLNK(st.st_mode)) return EntryKind::link;
    if (S_ISDIR(st.st_mode)) return EntryKind::folder;
    if (S_ISREG(st.st_mode)) return EntryKind::file;
    return EntryKind::other;
}

namespace {

// A stream of a descriptor just opened (the open's failure kept when it failed).
FILE* writableStream(int fd)
{
    if (fd < 0) {
        noteFailure();
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        noteFailure();
        ::close(fd);
    }
    return file;
}

} // namespace

bool linkTarget(const std::string& path, std::string& target)
{
    std::string current = systemPath(path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = current;
            return true;
        }
        const size_t cut = current.find_last_of('/');
        const std::string folder = cut == std::string::npos ? "." : current.substr(0, cut == 0 ? 1 : cut);
        struct stat in;
        if (::stat(folder.c_str(), &in) != 0) {
            noteFailure();
            return false;
        }
        const bool shared = (in.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
        if (shared && st.st_uid != ::geteuid() && st.st_uid != in.st_uid) {
            noteOwnFailure(plantedLink);
            return false;
        }
        std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) {
            noteFailure(n < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        std::string next(buffer.data(), static_cast<size_t>(n));
        if (next[0] != '/') next = (cut == std::string::npos ? std::string() : current.substr(0, cut + 1)) + next;
        current = std::move(next);
    }
    noteFailure(ELOOP);
    return false;
}

namespace {

// The temporary file to remove when a signal ends the process; a fixed buffer, since the
// handler may only make async-signal-safe calls.
char pendingTemporary[PATH_MAX];
volatile sig_atomic_t havePendingTemporary = 0;

void removePendingAndDie(int signal)
{
    if (havePendingTemporary) ::unlink(pendingTemporary);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

} // namespace

namespace {

// Letters and digits for a name nobody guesses, for files made beside others.
std::string randomLetters(int count)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device random;
    std::string letters;
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i, bits /= 36) {
        if (i % 6 == 0) bits = random(); // six letters a draw: 36^6 < 2^32
        letters += digits[bits % 36];
    }
    return letters;
}

} // namespace

FILE* createTemporaryBeside(const std::string& path, std::string& temporaryPath)
{
    std::string base = systemPath(path);
    struct stat existing;
    bool replacing = ::stat(base.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    if (base.size() + 16 >= sizeof pendingTemporary) {
        noteFailure(ENAMETOOLONG);
        return nullptr;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = base + ".tmp-" + randomLetters(6);
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) {
            noteFailure();
            if (errno == EEXIST) continue;
            return nullptr;
        }
        // The replacement keeps the permissions of the file it replaces: a private archive
        // stays private.
        if (replacing) ::fchmod(fd, existing.st_mode & 07777);
        FILE* file = writableStream(fd);
        if (!file) {
            ::unlink(candidate.c_str());
            return nullptr;
        }
        std::memcpy(pendingTemporary, candidate.c_str(), candidate.size() + 1);
        havePendingTemporary = 1;
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action = {};
            struct sigaction previous = {};
            action.sa_handler = removePendingAndDie;
            sigemptyset(&action.sa_mask);
            // A signal the caller ignores (nohup) stays ignored.
            if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
            ::sigaction(signal, &action, nullptr);
        }
        temporaryPath = candidate;
        return file;
    }
    return nullptr;
}

void forgetTemporary()
{
    havePendingTemporary = 0;
}

bool replaceWith(const std::string& from, const std::string& to)
{
    if (std::rename(systemPath(from).c_str(), systemPath(to).c_str()) == 0) return true;
    noteFailure();
    return false;
}

size_t readFileAt(FILE* file, uint64_t offset, uint8_t* bytes, size_t count, bool& failed)
{
    size_t got = 0;
    while (got < count) {
        ssize_t n = ::pread(::fileno(file), bytes + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            noteFailure();
            failed = true;
        }
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool sizeOfFile(FILE* file, int64_t& size)
{
    struct stat st;
    if (::fstat(::fileno(file), &st) != 0) {
        noteFailure();
        return false;
    }
    size = static_cast<int64_t>(st.st_size);
    return true;
}

std::string comparableName(const std::string& component)
{
    return component;
}

bool isVirtualFile(FILE* file)
{
    struct statfs fs;
    if (::fstatfs(::fileno(file), &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case 0x62656570: // configfs
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case PSTOREFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case BINFMTFS_MAGIC:
        return true;
    default:
        return false;
    }
}

bool cutFile(FILE* file, uint64_t length)
{
    if (std::fflush(file) != 0 || ::ftruncate(::fileno(file), static_cast<off_t>(length)) != 0 ||
        ::fseeko(file, static_cast<off_t>(length), SEEK_SET) != 0) {
        noteFailure();
        return false;
    }
    return true;
}

void adviseLargePages(void* buffer, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    // The pages wholly inside the buffer; the system uses large ones where they fit.
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(buffer) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + bytes) & ~(page - 1);
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)buffer;
    (void)bytes;
#endif
}

FileIdentity identityOfPath(const std::string& path)
{
    struct stat st;
    if (::stat(systemPath(path).c_str(), &st) != 0) return FileIdentity();
    return identityOf(st);
}

FileIdentity identityOfFile(FILE* file)
{
    struct stat st;
    if (!file || ::fstat(::fileno(file), &st) != 0) return FileIdentity();
    return identityOf(st);
}

// ---- Extraction below an output folder ----------------------------------------------------

struct HeldFolder {
    int fd = -1;
};

void releaseFolder(HeldFolder* folder)
{
    if (!folder) return;
    if (folder->fd >= 0) ::close(folder->fd);
    delete folder;
}

namespace {

// Folders are held for walking only: O_PATH needs no read permission, just the right to pass
// through, as a path lookup does.
#ifdef O_PATH
constexpr int walkOpenFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int walkOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

HeldFolderPtr heldOf(int fd)
{
    if (fd < 0) {
        noteFailure();
        return nullptr;
    }
    HeldFolderPtr folder(new HeldFolder);
    folder->fd = fd;
    return folder;
}

EntryKind kindOfMode(mode_t mode)
{
    if (S_ISLNK(mode)) return EntryKind::link;
    if (S_ISDIR(mode)) return EntryKind::folder;
    if (S_ISREG(mode)) return EntryKind::file;
    return EntryKind::other;
}

struct timespec timespecOf(int64_t modifiedNs)
{
    // Floor division, so that times before 1970 keep a nanosecond part within 0..999999999.
    int64_t seconds = modifiedNs / 1000000000;
    int64_t nanoseconds = modifiedNs % 1000000000;
    if (nanoseconds < 0) {
        nanoseconds += 1000000000;
        --seconds;
    }
    struct timespec time;
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(nanoseconds);
    return time;
}

// The access time stays; the modification time is set.
void modifiedTimes(int64_t modifiedNs, struct timespec times[2])
{
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = timespecOf(modifiedNs);
}

} // namespace

HeldFolderPtr holdFolder(const std::string& path, bool create)
{
    const std::string system = systemPath(path.empty() ? std::string(".") : path);
    int refused = 0; // why a folder could not be made, when one could not
    auto make = [&refused](const std::string& folder) {
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST && refused == 0) refused = errno;
    };
    if (create) {
        // The parents first, as the caller spelled them; failures show when the folder is held.
        for (size_t i = 1; i < system.size(); ++i) {
            if (system[i] == '/' && system[i - 1] != '/') make(system.substr(0, i));
        }
        make(system);
    }
    const int fd = ::open(system.c_str(), walkOpenFlags);
    // Missing because it could not be made: that is the reason.
    if (fd < 0 && errno == ENOENT && refused != 0) errno = refused;
    return heldOf(fd);
}

EntryState stateBelow(const HeldFolder& parent, const std::string& name)
{
    EntryState state;
    struct stat st;
    if (::fstatat(parent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        state.kind = errno == ENOENT ? EntryKind::missing : EntryKind::other;
        if (errno != ENOENT) state.unreadable = reasonOf(errno);
        return state;
    }
    state.kind = kindOfMode(st.st_mode);
    state.identity = identityOf(st);
    state.size = static_cast<int64_t>(st.st_size);
    return state;
}

FileIdentity followedIdentityBelow(const HeldFolder& parent, const std::string& name)
{
    struct stat st;
    if (::fstatat(parent.fd, name.c_str(), &st, 0) != 0) return FileIdentity();
    return identityOf(st);
}

FileIdentity identityOfFolder(const HeldFolder& folder)
{
    struct stat st;
    if (::fstat(folder.fd, &st) != 0) return FileIdentity();
    return identityOf(st);
}

Reached holdFolderBelow(const HeldFolder& parent, const std::string& name, bool create, HeldFolderPtr& folder,
                        bool& created, bool ownerOnly)
{
    int refused = 0;
    created = create && ::mkdirat(parent.fd, name.c_str(), ownerOnly ? 0700 : 0777) == 0;
    if (create && !created && errno != EEXIST) refused = errno;
    const int fd = ::openat(parent.fd, name.c_str(), walkOpenFlags | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT && refused != 0) errno = refused; // missing because not made
    // What was made and what is held may differ (another one renamed into its place): only
    // a folder of the user's own with no folder in it is taken as made, to be given metadata.
    struct stat st;
    if (created && fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || st.st_nlink > 2)) created = false;
    folder = heldOf(fd);
    if (folder) return Reached::folder;
    switch (stateBelow(parent, name).kind) {
    case EntryKind::missing:
        return Reached::missing;
    case EntryKind::link:
        return Reached::link;
    default:
        return Reached::other;
    }
}

FILE* createFileBelow(const HeldFolder& parent, const std::string& name, bool ownerOnly)
{
    return writableStream(::openat(parent.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                   ownerOnly ? 0600 : 0666));
}

FILE* replaceFileBelow(const HeldFolder& parent, const std::string& name, bool ownerOnly)
{
    struct stat old;
    if (::fstatat(parent.fd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        noteFailure();
        return nullptr;
    }
    if (S_ISDIR(old.st_mode)) {
        noteOwnFailure("a folder stands there");
        return nullptr;
    }
    // Another's file keeps nothing: its mode was chosen by them and may show the new bytes.
    const bool keepMode = !ownerOnly && S_ISREG(old.st_mode) && old.st_uid == ::geteuid();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = ".qv5-" + randomLetters(10);
        const int fd = ::openat(parent.fd, temporary.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                ownerOnly ? 0600 : 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            noteFailure();
            return nullptr;
        }
        if (keepMode) ::fchmod(fd, old.st_mode & 0777);
        if (::renameat(parent.fd, temporary.c_str(), parent.fd, name.c_str()) != 0) {
            noteFailure();
            ::close(fd);
            ::unlinkat(parent.fd, temporary.c_str(), 0);
            return nullptr;
        }
        return writableStream(fd);
    }
    noteFailure(EEXIST);
    return nullptr;
}

FILE* readFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected)
{
    return readableStream(::openat(parent.fd, name.c_str(), readFlags | O_NOFOLLOW), expected);
}

bool removeBelow(const HeldFolder& parent, const std::string& name)
{
    if (::unlinkat(parent.fd, name.c_str(), 0) == 0) return true;
    noteFailure();
    return false;
}

bool createLinkBelow(const HeldFolder& parent, const std::string& name, const std::string& target, bool)
{
    // The target is stored text and goes to the system as it is: a link is never followed by
    // the extraction, whatever it holds.
    if (::symlinkat(target.c_str(), parent.fd, name.c_str()) == 0) return true;
    noteFailure();
    return false;
}

namespace {

// The path that reaches the entry a descriptor holds, whatever happened to its name since: for
// the calls that take no descriptor of a file opened only as itself (O_PATH).
std::string heldPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Applies the plan through fd, a descriptor open for reading or writing, or (pathOnly) one
// that holds the entry only as itself, reached again through its /proc path.
Restored applyPlan(int fd, bool pathOnly, const RestorePlan& plan)
{
    Restored restored;
    const std::string path = pathOnly ? heldPath(fd) : std::string();
    // What the entry already has is not set again: each change dirties the inode, and most
    // files are made with the owner and mode they are to have. An owner changed or an
    // attribute set (an access list maps onto the mode) leaves the mode to be set.
    struct stat now;
    bool asMade = !pathOnly && ::fstat(fd, &now) == 0;
    if (plan.withOwner && !(asMade && now.st_uid == plan.uid && now.st_gid == plan.gid)) {
        asMade = false;
        restored.owner =
            (pathOnly ? ::fchownat(fd, "", plan.uid, plan.gid, AT_EMPTY_PATH) : ::fchown(fd, plan.uid, plan.gid)) == 0;
        if (!restored.owner) restored.ownerReason = reasonOf(errno);
    }
    if (plan.attributes && !plan.attributes->empty()) asMade = false;
    if (plan.attributes) {
        for (const Attribute& attribute : *plan.attributes) {
            if (!(plan.attributeKinds & attributeKind(attribute.name))) continue;
            const char* name = attribute.name.c_str();
            int set = pathOnly ? ::setxattr(path.c_str(), name, attribute.value.data(), attribute.value.size(), 0)
                               : ::fsetxattr(fd, name, attribute.value.data(), attribute.value.size(), 0);
            if (set != 0 && restored.attribute.empty()) {
                restored.attribute = attribute.name;
                restored.attributeReason = reasonOf(errno);
            }
        }
    }
    if (plan.withTime) {
        struct timespec times[2];
        modifiedTimes(plan.modifiedNs, times);
        restored.time = (pathOnly ? ::utimensat(AT_FDCWD, path.c_str(), times, 0) : ::futimens(fd, times)) == 0;
        if (!restored.time) restored.timeReason = reasonOf(errno);
    }
    if (plan.withMode && !(asMade && (now.st_mode & 07777) == (plan.mode & 07777))) {
        const mode_t mode = static_cast<mode_t>(plan.mode & 07777);
        restored.mode = (pathOnly ? ::chmod(path.c_str(), mode) : ::fchmod(fd, mode)) == 0;
        if (!restored.mode) restored.modeReason = reasonOf(errno);
    }
    return restored;
}

bool allZero(const uint8_t* data, size_t size)
{
    uint64_t any = 0;
    for (size_t k = 0; k + 8 <= size; k += 8) {
        uint64_t word;
        std::memcpy(&word, data + k, 8);
        any |= word;
    }
    return any == 0;
}

// Turns the file's runs of zero blocks into holes, reading it once. Nothing is reported: the
// bytes are right either way, and where the file system makes no holes they stay written.
void makeHoles(int fd, size_t block)
{
#ifdef FALLOC_FL_PUNCH_HOLE
    struct stat st;
    if (::fstat(fd, &st) != 0 || block == 0) return;
    const off_t whole = st.st_size - st.st_size % off_t(block);
    std::vector<uint8_t> buffer(std::max<size_t>(block, (size_t(1) << 20) / block * block));
    off_t at = 0;
    off_t run = -1; // where the current run of zero blocks began
    bool refused = false;
    auto punch = [&](off_t end) {
        if (run >= 0 && end > run)
            refused = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, run, end - run) != 0;
        run = -1;
    };
    while (at < whole && !refused) {
        const size_t want = size_t(std::min<off_t>(off_t(buffer.size()), whole - at));
        if (::pread(fd, buffer.data(), want, at) != ssize_t(want)) break;
        for (size_t k = 0; k < want && !refused; k += block) {
            if (!allZero(buffer.data() + k, block)) {
                punch(at + off_t(k));
            } else if (run < 0) {
                run = at + off_t(k);
            }
        }
        at += off_t(want);
    }
    if (!refused) punch(at);
#else
    (void)fd;
    (void)block;
#endif
}

} // namespace

Restored restoreBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected,
                      const RestorePlan& plan)
{
    // Looked at as itself first: never through a link, and a special file is never opened
    // (opening a device can act on it). A file or folder is then opened for reading, enough
    // for every call on what one owns; a special file is reached through its /proc path.
    int held = ::openat(parent.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (held < 0) return nothingRestored(plan, reasonOf(errno));
    struct stat st;
    Restored restored;
    if (::fstat(held, &st) != 0) {
        restored = nothingRestored(plan, reasonOf(errno));
    } else if (S_ISLNK(st.st_mode) || !sameFile(identityOf(st), expected)) {
        restored = nothingRestored(plan, notTheOneMade);
    } else if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        // Holes are made through a descriptor that may write, before the time is set.
        int fd = -1;
        if (plan.holeBlock > 0 && S_ISREG(st.st_mode))
            fd = ::openat(parent.fd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        const bool writable = fd >= 0;
        if (fd < 0) fd = ::openat(parent.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat again;
        if (fd >= 0 && ::fstat(fd, &again) == 0 && sameFile(identityOf(again), expected)) {
            if (writable) makeHoles(fd, plan.holeBlock);
            restored = applyPlan(fd, false, plan);
        } else if (fd < 0 && errno == EACCES) {
            restored = applyPlan(held, true, plan); // one may change what one cannot read
        } else {
            restored = nothingRestored(plan, fd < 0 ? reasonOf(errno) : std::string(notTheOneMade));
        }
        if (fd >= 0) ::close(fd);
    } else {
        restored = applyPlan(held, true, plan);
    }
    ::close(held);
    return restored;
}

Restored restoreOpenFile(FILE* file, const RestorePlan& plan)
{
    return applyPlan(::fileno(file), false, plan);
}

Restored restoreHeldFolder(const HeldFolder& folder, const RestorePlan& plan)
{
    // "." of the held folder is that folder, whatever its name leads to now; opened for reading
    // where one may, else changed through its /proc path (one may change what one cannot read).
    const int fd = ::openat(folder.fd, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != EACCES) return nothingRestored(plan, reasonOf(errno));
        return applyPlan(folder.fd, true, plan);
    }
    Restored restored = applyPlan(fd, false, plan);
    ::close(fd);
    return restored;
}

Restored restoreLinkBelow(const HeldFolder& parent, const std::string& name, const RestorePlan& plan)
{
    Restored restored;
    if (plan.withOwner) {
        restored.owner = ::fchownat(parent.fd, name.c_str(), plan.uid, plan.gid, AT_SYMLINK_NOFOLLOW) == 0;
        if (!restored.owner) restored.ownerReason = reasonOf(errno);
    }
    struct timespec times[2];
    modifiedTimes(plan.modifiedNs, times);
    restored.time = ::utimensat(parent.fd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
    if (!restored.time) restored.timeReason = reasonOf(errno);
    return restored;
}

bool createSpecialBelow(const HeldFolder& parent, const std::string& name, SpecialKind kind, uint32_t major,
                        uint32_t minor, FileIdentity& made)
{
    mode_t type = kind == SpecialKind::fifo ? S_IFIFO : kind == SpecialKind::characterDevice ? S_IFCHR : S_IFBLK;
    dev_t device = kind == SpecialKind::fifo ? 0 : makedev(major, minor);
    made = FileIdentity();
    if (::mknodat(parent.fd, name.c_str(), type | 0600, device) != 0) {
        noteFailure();
        return false;
    }
    // Whoever may write the folder could have put something else at the name since.
    const int fd = ::openat(parent.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        noteFailure();
        return false;
    }
    struct stat st;
    const bool measured = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!measured || (st.st_mode & S_IFMT) != type || st.st_nlink != 1 || st.st_uid != ::geteuid() ||
        (kind != SpecialKind::fifo && st.st_rdev != device)) {
        noteOwnFailure(notTheOneMade);
        return false;
    }
    made = identityOf(st);
    return true;
}

struct HeldItem {
    int fd = -1;
};

void releaseItem(HeldItem* item)
{
    if (!item) return;
    if (item->fd >= 0) ::close(item->fd);
    delete item;
}

HeldItemPtr holdFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected)
{
    int fd = ::openat(parent.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        noteFailure();
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !sameFile(identityOf(st), expected)) {
        noteOwnFailure(notTheOneMade);
        ::close(fd);
        return nullptr;
    }
    HeldItemPtr item(new HeldItem);
    item->fd = fd;
    return item;
}

bool createHardLinkBelow(const HeldItem& file, const HeldFolder& parent, const std::string& name)
{
    // The held file itself gets the name: by its descriptor where the process may (root), else
    // through its /proc path, which leads to it whatever happened to its first name.
    if (::linkat(file.fd, "", parent.fd, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (::linkat(AT_FDCWD, heldPath(file.fd).c_str(), parent.fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    noteFailure();
    return false;
}

bool skipZeros(FILE* file, uint64_t count)
{
    if (::fseeko(file, static_cast<off_t>(count), SEEK_CUR) == 0) return true;
    noteFailure();
    return false;
}

bool endFileAt(FILE* file, uint64_t size)
{
    if (::fflush(file) == 0 && ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0) return true;
    noteFailure();
    return false;
}

namespace {

mode_t processUmask()
{
    static const mode_t mask = [] {
        mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
}

} // namespace

uint32_t restorableMode(uint32_t stored)
{
    const bool root = runningAsRoot();
    uint32_t mode = stored & 01777;
    if (root) return mode | (stored & 06000);
    return mode & ~static_cast<uint32_t>(processUmask());
}

uint32_t defaultFolderMode()
{
    return 0777 & ~static_cast<uint32_t>(processUmask());
}

FILE* openTypedOutput(const std::string& path, bool& created, bool ownerOnly)
{
    const std::string system = systemPath(path);
    created = false;
    int fd = ::open(system.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, ownerOnly ? 0600 : 0666);
    if (fd >= 0) {
        created = true;
        return writableStream(fd);
    }
    // A regular file there is replaced, never written in place; a device or a FIFO is written
    // into, and so is what a link the caller typed leads to (/dev/stdout, the caller's own).
    struct stat st;
    if (::lstat(system.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        const size_t slash = system.rfind('/');
        const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : system.substr(0, slash);
        HeldFolderPtr folder = holdFolder(folderPath, false);
        if (!folder) return nullptr;
        // Written over, not made new for the caller: its mode stays as the caller's file had it.
        return replaceFileBelow(*folder, system.substr(slash == std::string::npos ? 0 : slash + 1), ownerOnly);
    }
    FILE* file = std::fopen(system.c_str(), "wb");
    if (!file) noteFailure();
    return file;
}

bool moduleFileName(std::string& path)
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        noteFailure();
        return false;
    }
    buffer[n] = '\0';
    path = buffer;
    return true;
}

void markExecutable(const std::string& path)
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(systemPath(path).c_str(), 0777 & ~mask);
}

bool isTerminal(FILE* stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

void writeText(FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

void useBinaryMode(FILE*) {}

void pauseConsole()
{
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);
    if (::isatty(STDIN_FILENO)) {
        struct termios saved;
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            struct termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            unsigned char c;
            ssize_t ignored = ::read(STDIN_FILENO, &c, 1);
            (void)ignored;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            std::fputs("\n", stdout);
            return;
        }
    }
    std::getchar();
    std::fputs("\n", stdout);
}

FILE* openTerminalInput()
{
    return std::fopen("/dev/tty", "r");
}

bool readSecretLine(const char* prompt, std::string& line)
{
    line.clear();
    const int terminal = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (terminal < 0) return false;
    (void)!::write(terminal, prompt, std::strlen(prompt));
    termios before{};
    const bool quiet = ::tcgetattr(terminal, &before) == 0;
    if (quiet) {
        termios silent = before;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;
        ::tcsetattr(terminal, TCSAFLUSH, &silent);
    }
    char c = 0;
    bool ended = false;
    while (::read(terminal, &c, 1) == 1) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line += c;
    }
    c = 0;
    if (quiet) ::tcsetattr(terminal, TCSAFLUSH, &before);
    ::close(terminal);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return ended || !line.empty();
}

FILE* openSecretOutput(const std::string& path)
{
    ::unlink(path.c_str()); // a new file, so that the mode below is its mode from the start
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        noteFailure(errno);
        return nullptr;
    }
    FILE* file = ::fdopen(descriptor, "wb");
    if (!file) ::close(descriptor);
    return file;
}

void prepareProcess()
{
    ::signal(SIGXFSZ, SIG_IGN);
}

uint32_t clockMs()
{
    auto elapsed = std::chrono::steady_clock::now() - startTime;
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

const char* currentFolderPrefix()
{
    return "./";
}

} // namespace qv5
