// The Windows services the program was designed around (KERNEL32 and the C runtime), in
// their wide forms: every path goes to the system as UTF-16, converted from the program's
// UTF-8 here and nowhere else.
#include "platform/platform.h"
#include "platform/utf8.h"

#include "qv5/qv5.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <iterator>
#include <windows.h>
#include <shellapi.h>

namespace qv5 {

const size_t maxPathLength = 1023;
const bool windowsNames = true;
const bool namesAreUnicode = true;
const bool namesIgnoreCase = true;
const bool posixMetadata = false;

namespace {

// Why the last failing call of this layer failed, per thread: the system's error, the C
// runtime's errno where the system gave none, or a reason of ours.
struct Failure {
    DWORD code = 0;
    int runtimeCode = 0;
    const char* own = nullptr;
};
thread_local Failure lastFailure;

// Keeps the system's last error as the reason of the call that just failed (the runtime's
// errno when the failure never reached the system).
void noteFailure()
{
    const DWORD code = GetLastError();
    lastFailure = code != 0 ? Failure{code, 0, nullptr} : Failure{0, errno, nullptr};
}

void noteOwnFailure(const char* reason)
{
    lastFailure = Failure{0, 0, reason};
}

constexpr const char* notRegular = "not a regular file";
constexpr const char* notTheOneMade = "another entry stands there now";

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}
bool isSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

// Longest path the plain (not \\?\) form takes everywhere: a folder's path must leave room
// for an 8.3 name below MAX_PATH.
constexpr size_t plainPathLimit = MAX_PATH - 12;

std::wstring wideOf(std::string_view text)
{
    std::u16string units;
    if (utf16OfUtf8(text, units)) return std::wstring(units.begin(), units.end());
    // Not UTF-8: bytes in the ANSI code page, as older programs wrote names.
    int length = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), n);
    return wide;
}

std::string utf8Of(std::wstring_view wide)
{
    return utf8OfUtf16(std::u16string(wide.begin(), wide.end()));
}

// The system's words for an error code, as UTF-8, without the line end.
std::string reasonOf(DWORD code)
{
    wchar_t text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             static_cast<DWORD>(std::size(text)), nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ')) --n;
    if (n == 0) return "system error " + std::to_string(code);
    return utf8Of(std::wstring_view(text, n));
}

bool startsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The system's absolute form of a path ('/' turned to '\\', "." and ".." resolved, trailing
// dots and spaces of the last component dropped); empty when it fails.
std::wstring fullPathOf(const std::wstring& path)
{
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) break;
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n); // n counts the terminating NUL here
    }
    return std::wstring();
}

// A path as the wide calls take it. One too long for the plain form goes in the \\?\ form,
// which the system takes literally (no '/', no "." or ".."): its full form is made first.
std::wstring widePath(const std::string& path)
{
    std::wstring wide = wideOf(path);
    const bool twoSeparators = wide.size() >= 2 && isSeparator(wide[0]) && isSeparator(wide[1]);
    if (twoSeparators && wide.size() >= 4 && (wide[2] == L'?' || wide[2] == L'.') && isSeparator(wide[3])) {
        return wide; // already a \\?\ or device path
    }
    const bool absolute = twoSeparators || (wide.size() >= 3 && wide[1] == L':' && isSeparator(wide[2]));
    if (absolute && wide.size() < plainPathLimit) return wide;
    // A relative path is long when the current folder makes it so.
    std::wstring full = fullPathOf(wide);
    if (full.size() < plainPathLimit) return wide;
    if (full.size() >= 3 && full[1] == L':') return L"\\\\?\\" + full;
    if (startsWith(full, L"\\\\") && !startsWith(full, L"\\\\?\\") && !startsWith(full, L"\\\\.\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return wide;
}

FileIdentity identityOfHandle(HANDLE handle)
{
    FileIdentity id;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        id.device = info.dwVolumeSerialNumber;
        id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        id.valid = true;
    }
    return id;
}

} // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    // The runtime's argv is in the ANSI code page, where a name outside it is lost.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + (argc > 0 ? argc : 0));
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(utf8Of(wide[i]));
    LocalFree(wide);
    return arguments;
}

std::string nameFromArchive(std::string stored)
{
    if (isUtf8(stored)) return stored;
    return utf8Of(wideOf(stored));
}

bool sameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.index == b.index;
}

bool fullPathName(const std::string& argument, std::string& fullPath)
{
    std::wstring full = fullPathOf(wideOf(argument));
    if (full.empty()) return false;
    std::string result = utf8Of(full);
    // "docs\" means the folder docs; "C:\" keeps its separator.
    while (result.size() > 1 && isSeparator(result.back())) {
        if (result.size() == 3 && result[1] == ':') break;
        result.pop_back();
    }
    if (result.size() > maxPathLength) return false;
    fullPath = std::move(result);
    return true;
}

std::string lastFailureReason()
{
    if (lastFailure.own) return lastFailure.own;
    if (lastFailure.code != 0) return reasonOf(lastFailure.code);
    if (lastFailure.runtimeCode != 0) return utf8Of(_wcserror(lastFailure.runtimeCode));
    return std::string();
}

void clearFailure()
{
    lastFailure = Failure();
    SetLastError(0);
    errno = 0;
}

void noteStreamFailure()
{
    noteFailure(); // none when neither the system nor the runtime gave a reason
}

Listed findEntries(const std::string& searchPath, std::vector<DirEntry>& entries)
{
    entries.clear();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(widePath(searchPath).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        // Read before noteFailure: its thread-local store resets the system's last error.
        const DWORD error = GetLastError();
        noteFailure();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                             error == ERROR_NO_MORE_FILES || error == ERROR_DIRECTORY;
        return missing ? Listed::nothing : Listed::failed;
    }
    size_t cut = searchPath.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? std::string() : searchPath.substr(0, cut + 1);
    do {
        DirEntry entry;
        entry.name = utf8Of(data.cFileName);
        entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (DirEntry& entry : entries) {
        if (entry.name == "." || entry.name == "..") continue;
        // A link that cannot be followed leads nowhere.
        if (entry.isLink) {
            HANDLE target = CreateFileW(widePath(folder + entry.name).c_str(), 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (target == INVALID_HANDLE_VALUE) {
                const DWORD error = GetLastError();
                entry.dangling = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                                 error == ERROR_CANT_RESOLVE_FILENAME;
            } else {
                CloseHandle(target);
            }
        }
        // Folders carry their identity, so that one reached again through a link or junction
        // is walked once.
        if (entry.isFolder && !entry.dangling) entry.identity = identityOfPath(folder + entry.name);
    }
    return entries.empty() ? Listed::nothing : Listed::entries;
}

bool querySize(const std::string& path, int64_t& size)
{
    HANDLE handle = CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        noteFailure();
        return false;
    }
    LARGE_INTEGER value;
    BOOL ok = GetFileSizeEx(handle, &value);
    if (!ok) noteFailure();
    CloseHandle(handle);
    if (!ok) return false;
    size = value.QuadPart;
    return true;
}

FILE* openRead(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        noteFailure();
        return nullptr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        noteOwnFailure(notRegular);
        return nullptr;
    }
    SetLastError(0);
    FILE* file = _wfopen(widePath(path).c_str(), L"rb");
    if (!file) noteFailure();
    return file;
}

ReadableSize sizeOfReadable(const std::string& path, int64_t& size)
{
    FILE* file = openRead(path);
    if (!file) return ReadableSize::unopened;
    const bool measured = sizeOfFile(file, size);
    std::fclose(file);
    return measured ? ReadableSize::measured : ReadableSize::unmeasured;
}

FILE* openWrite(const std::string& path)
{
    SetLastError(0);
    FILE* file = _wfopen(widePath(path).c_str(), L"wb");
    if (!file) noteFailure();
    return file;
}

int seekFile(FILE* file, int64_t offset, int origin)
{
    SetLastError(0);
    const int result = _fseeki64(file, offset, origin);
    if (result != 0) noteFailure();
    return result;
}

int64_t tellFile(FILE* file)
{
    SetLastError(0);
    const int64_t at = _ftelli64(file);
    if (at < 0) noteFailure();
    return at;
}

size_t readFileAt(FILE* file, uint64_t offset, uint8_t* bytes, size_t count, bool& failed)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    size_t got = 0;
    while (got < count) {
        OVERLAPPED at = {};
        const uint64_t where = offset + got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD n = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(count - got, 1u << 30));
        if (!ReadFile(handle, bytes + got, ask, &n, &at)) {
            if (GetLastError() != ERROR_HANDLE_EOF) {
                noteFailure();
                failed = true;
            }
            break;
        }
        if (n == 0) break;
        got += n;
    }
    return got;
}

bool sizeOfFile(FILE* file, int64_t& size)
{
    SetLastError(0);
    __int64 length = _filelengthi64(_fileno(file));
    if (length < 0) {
        noteFailure();
        return false;
    }
    size = static_cast<int64_t>(length);
    return true;
}

std::string comparableName(const std::string& component)
{
    size_t end = component.size();
    while (end > 0 && (component[end - 1] == '.' || component[end - 1] == ' ')) --end;
    if (end == 0) return component; // "." and ".." are never stripped to nothing
    std::wstring wide = wideOf(component.substr(0, end));
    if (!wide.empty()) {
        std::wstring upper(wide.size() * 2, L'\0');
        const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()),
                                    upper.data(), static_cast<int>(upper.size()), nullptr, nullptr, 0);
        if (n > 0) wide.assign(upper.data(), static_cast<size_t>(n));
    }
    return utf8Of(wide);
}

bool isVirtualFile(FILE*)
{
    return false; // no file system made when read
}

bool cutFile(FILE* file, uint64_t length)
{
    SetLastError(0);
    if (std::fflush(file) != 0 || _chsize_s(_fileno(file), static_cast<__int64>(length)) != 0 ||
        _fseeki64(file, static_cast<__int64>(length), SEEK_SET) != 0) {
        noteFailure();
        return false;
    }
    return true;
}

void adviseLargePages(void*, size_t) {}

bool removeFile(const std::string& path)
{
    if (DeleteFileW(widePath(path).c_str())) return true;
    noteFailure();
    return false;
}

EntryKind entryKindOf(const std::string& path)
{
    DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::missing : EntryKind::other;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::folder;
    return EntryKind::file;
}

namespace {

// A stream of a handle just opened (the open's failure kept when it failed).
FILE* streamOfHandle(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) {
        noteFailure();
        return nullptr;
    }
    SetLastError(0);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        noteFailure();
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "wb");
    if (!file) {
        noteFailure();
        _close(fd);
    }
    return file;
}

} // namespace

bool linkTarget(const std::string& path, std::string& target)
{
    std::wstring wide = widePath(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        target = path;
        return true;
    }
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        noteFailure();
        return false;
    }
    std::wstring final(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    if (n >= final.size()) {
        final.resize(n); // n counts the terminating NUL here
        n = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= final.size()) noteFailure();
    CloseHandle(handle);
    if (n == 0 || n >= final.size()) return false;
    final.resize(n);
    // The plain form where the system gives \\?\ (widePath adds it back where it is needed).
    if (startsWith(final, L"\\\\?\\UNC\\")) {
        final.replace(0, 8, L"\\\\");
    } else if (startsWith(final, L"\\\\?\\")) {
        final.erase(0, 4);
    }
    target = utf8Of(final);
    return true;
}

namespace {

// As the system takes it: no conversion may run in the handler.
wchar_t pendingTemporary[32768];
volatile LONG havePendingTemporary = 0;

BOOL WINAPI removePendingOnBreak(DWORD)
{
    if (havePendingTemporary) DeleteFileW(pendingTemporary);
    return FALSE; // the default handler ends the process
}

} // namespace

FILE* createTemporaryBeside(const std::string& path, std::string& temporaryPath)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static bool handlerSet = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = path + ".tmp-";
        uint32_t bits = static_cast<uint32_t>(GetTickCount()) * 2654435761u ^ GetCurrentProcessId() ^
                        static_cast<uint32_t>(attempt) * 40503u;
        for (int i = 0; i < 6; ++i, bits /= 36) candidate += digits[bits % 36];
        std::wstring wide = widePath(candidate);
        if (wide.size() >= std::size(pendingTemporary)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            noteFailure();
            return nullptr;
        }
        HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            noteFailure();
            if (error == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        FILE* file = streamOfHandle(handle);
        if (!file) {
            DeleteFileW(wide.c_str());
            return nullptr;
        }
        std::memcpy(pendingTemporary, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
        havePendingTemporary = 1;
        if (!handlerSet) handlerSet = SetConsoleCtrlHandler(removePendingOnBreak, TRUE) != 0;
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
    if (MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    noteFailure();
    return false;
}

FileIdentity identityOfPath(const std::string& path)
{
    HANDLE handle = CreateFileW(widePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FileIdentity();
    FileIdentity id = identityOfHandle(handle);
    CloseHandle(handle);
    return id;
}

FileIdentity identityOfFile(FILE* file)
{
    if (!file) return FileIdentity();
    return identityOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

bool moduleFileName(std::string& path)
{
    // The buffer grows until the name fits: the copy may sit in a folder with a long path.
    for (size_t size = MAX_PATH; size <= 32768; size *= 4) {
        std::wstring buffer(size, L'\0');
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(size));
        if (n == 0) {
            noteFailure();
            return false;
        }
        if (n < size) {
            buffer.resize(n);
            path = utf8Of(buffer);
            return true;
        }
    }
    return false;
}

void markExecutable(const std::string&) {}

bool isTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

void writeText(FILE* stream, const std::string& text)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    // A console window shows UTF-16 whatever its code page; what the stream holds goes first.
    std::fflush(stream);
    std::wstring wide = wideOf(text);
    const wchar_t* next = wide.data();
    size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, next, static_cast<DWORD>(left), &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

void useBinaryMode(FILE* stream)
{
    _setmode(_fileno(stream), _O_BINARY);
}

void pauseConsole()
{
    std::fflush(stdout);
    int ignored = std::system("pause");
    (void)ignored;
}

uint32_t clockMs()
{
    // The C runtime's clock() counts wall-clock milliseconds since the process started.
    return static_cast<uint32_t>(std::clock());
}

const char* currentFolderPrefix()
{
    return ".\\";
}

// ---- Metadata: times, attributes and links ------------------------------------------------

namespace {

// FILETIME counts 100 ns from 1601; the metadata counts nanoseconds from 1970.
constexpr int64_t fileTimeOf1970 = 116444736000000000;

int64_t nanosecondsOf(const FILETIME& time)
{
    int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - fileTimeOf1970) * 100;
}

FILETIME fileTimeOf(int64_t nanoseconds)
{
    uint64_t ticks = static_cast<uint64_t>(nanoseconds / 100 + fileTimeOf1970);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// The mode bits the attributes stand for: 0755 for a folder and 0644 for a file (what a POSIX
// system gives them by default, never writable by others), the write bit cleared by
// read-only, hidden and system above the permission bits (as the library's metadata defines
// them).
uint32_t modeOf(DWORD attributes)
{
    uint32_t mode = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0755 : 0644;
    if (attributes & FILE_ATTRIBUTE_READONLY) mode &= ~0222u;
    if (attributes & FILE_ATTRIBUTE_HIDDEN) mode |= modeHidden;
    if (attributes & FILE_ATTRIBUTE_SYSTEM) mode |= modeSystem;
    return mode;
}

// The reparse data of a symbolic link, as the file system returns it.
struct SymbolicLinkData {
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteOffset;
    USHORT substituteLength;
    USHORT printOffset;
    USHORT printLength;
    ULONG flags;
    WCHAR paths[1];
};

} // namespace

bool metadataOfPath(const std::string& path, FileMetadata& metadata)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &data)) {
        noteFailure();
        return false;
    }
    metadata.modifiedNs = nanosecondsOf(data.ftLastWriteTime);
    metadata.mode = modeOf(data.dwFileAttributes);
    return true;
}

bool metadataOfFile(FILE* file, FileMetadata& metadata)
{
    if (!file) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
        noteFailure();
        return false;
    }
    metadata.modifiedNs = nanosecondsOf(info.ftLastWriteTime);
    metadata.mode = modeOf(info.dwFileAttributes);
    return true;
}

bool readLinkText(const std::string& path, std::string& target)
{
    HANDLE handle =
        CreateFileW(widePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        noteFailure();
        return false;
    }
    std::vector<uint8_t> buffer(16 * 1024);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(handle, 0x000900A8 /* FSCTL_GET_REPARSE_POINT */, nullptr, 0, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &got, nullptr);
    if (!ok) noteFailure();
    CloseHandle(handle);
    const auto* data = reinterpret_cast<const SymbolicLinkData*>(buffer.data());
    if (ok && (got < sizeof(SymbolicLinkData) || data->tag != 0xA000000C /* IO_REPARSE_TAG_SYMLINK */)) {
        noteOwnFailure("not a symbolic link");
    }
    if (!ok || got < sizeof(SymbolicLinkData) || data->tag != 0xA000000C /* IO_REPARSE_TAG_SYMLINK */) return false;
    const WCHAR* text = data->paths + data->printOffset / sizeof(WCHAR);
    target = utf8Of(std::wstring_view(text, data->printLength / sizeof(WCHAR)));
    return true;
}

// ---- Extraction below an output folder ----------------------------------------------------

struct HeldFolder {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path; // the folder's own full path, in the \\?\ form
};

void releaseFolder(HeldFolder* folder)
{
    if (!folder) return;
    if (folder->handle != INVALID_HANDLE_VALUE) CloseHandle(folder->handle);
    delete folder;
}

namespace {

// A component as the system's ordinary path rules name it: the \\?\ form takes names
// literally, so the trailing dots and spaces that every other program's paths drop are
// dropped here too, and what is made can be opened and deleted like anything else.
std::wstring componentOf(const std::string& name)
{
    std::wstring wide = wideOf(name);
    while (!wide.empty() && (wide.back() == L'.' || wide.back() == L' ')) wide.pop_back();
    return wide;
}

// The full path of name in parent; empty when nothing is left of the name.
std::wstring pathBelow(const HeldFolder& parent, const std::string& name)
{
    std::wstring component = componentOf(name);
    return component.empty() ? std::wstring() : parent.path + L"\\" + component;
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What stands at path as itself: a reparse point is opened, never followed.
HANDLE openItself(const std::wstring& path, DWORD access)
{
    if (path.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), access, shareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool informationOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info)
{
    return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
}

FileIdentity identityOfInformation(const BY_HANDLE_FILE_INFORMATION& info)
{
    FileIdentity id;
    id.device = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.valid = true;
    return id;
}

// The path a held handle stands for, in the \\?\ form the calls below take literally.
std::wstring finalPathOf(HANDLE handle, const std::wstring& fallback)
{
    std::wstring final(MAX_PATH, L'\0');
    DWORD n = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    if (n >= final.size()) {
        final.resize(n);
        n = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    }
    if (n > 0 && n < final.size()) {
        final.resize(n);
        if (startsWith(final, L"\\\\?\\")) return final;
    }
    std::wstring full = fullPathOf(fallback);
    if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HeldFolderPtr holdHandle(HANDLE handle, std::wstring path)
{
    HeldFolderPtr folder(new HeldFolder);
    folder->handle = handle;
    folder->path = std::move(path);
    return folder;
}

// Held without delete sharing: the folder can be neither renamed nor removed (so nothing can
// take its place) while what lies below it is made.
constexpr DWORD shareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Attributes a mode stands for, from the ones the entry has.
DWORD attributesFor(DWORD attributes, uint32_t mode)
{
    DWORD wanted = attributes & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (!(mode & 0222)) wanted |= FILE_ATTRIBUTE_READONLY;
    if (mode & modeHidden) wanted |= FILE_ATTRIBUTE_HIDDEN;
    if (mode & modeSystem) wanted |= FILE_ATTRIBUTE_SYSTEM;
    return wanted;
}

FILE* readStreamOfHandle(HANDLE handle)
{
    SetLastError(0);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_RDONLY);
    if (fd < 0) {
        noteFailure();
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "rb");
    if (!file) {
        noteFailure();
        _close(fd);
    }
    return file;
}

// Keeps why an entry was refused: the system's error when informationOf failed, else ours.
void noteRefused(bool informed, const char* reason)
{
    if (informed) {
        noteOwnFailure(reason);
    } else {
        noteFailure();
    }
}

} // namespace

HeldFolderPtr holdFolder(const std::string& path, bool create)
{
    const std::string named = path.empty() ? std::string(".") : path;
    DWORD refused = 0; // why a folder could not be made, when one could not
    auto make = [&refused](const std::string& folder) {
        if (!CreateDirectoryW(widePath(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
            refused == 0) {
            refused = GetLastError();
        }
    };
    if (create) {
        // The parents first, as the caller spelled them; failures show when the folder is held.
        for (size_t i = 1; i < named.size(); ++i) {
            if (isSeparator(named[i]) && !isSeparator(named[i - 1])) make(named.substr(0, i));
        }
        make(named);
    }
    const std::wstring wide = widePath(named);
    // The folder the caller named may be a link: it is followed.
    HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, shareHeld, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool informed = informationOf(handle, info);
    if (!informed || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const DWORD error = GetLastError();
        // Missing because it could not be made: that is the reason.
        if (!informed && refused != 0 && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
            SetLastError(refused);
        }
        noteRefused(informed, "not a folder");
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return nullptr;
    }
    return holdHandle(handle, finalPathOf(handle, wide));
}

EntryState stateBelow(const HeldFolder& parent, const std::string& name)
{
    EntryState state;
    const std::wstring path = pathBelow(parent, name);
    HANDLE handle = openItself(path, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info;
    if (!informationOf(handle, info)) {
        DWORD error = GetLastError();
        bool missing = !path.empty() && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
        state.kind = missing ? EntryKind::missing : EntryKind::other;
        if (!missing) state.unreadable = path.empty() ? std::string("no name left") : reasonOf(error);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return state;
    }
    CloseHandle(handle);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        state.kind = EntryKind::link;
    } else {
        state.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::folder : EntryKind::file;
    }
    state.identity = identityOfInformation(info);
    state.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return state;
}

FileIdentity followedIdentityBelow(const HeldFolder& parent, const std::string& name)
{
    const std::wstring path = pathBelow(parent, name);
    if (path.empty()) return FileIdentity();
    HANDLE handle = CreateFileW(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    FileIdentity id = informationOf(handle, info) ? identityOfInformation(info) : FileIdentity();
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return id;
}

FileIdentity identityOfFolder(const HeldFolder& folder)
{
    BY_HANDLE_FILE_INFORMATION info;
    return informationOf(folder.handle, info) ? identityOfInformation(info) : FileIdentity();
}

Reached holdFolderBelow(const HeldFolder& parent, const std::string& name, bool create, HeldFolderPtr& folder,
                        bool& created, bool)
{
    const std::wstring path = pathBelow(parent, name);
    created = false;
    if (path.empty()) {
        noteOwnFailure("no name left");
        return Reached::other;
    }
    created = create && CreateDirectoryW(path.c_str(), nullptr) != 0;
    const DWORD refused = create && !created && GetLastError() != ERROR_ALREADY_EXISTS ? GetLastError() : 0;
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, shareHeld, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (!informationOf(handle, info)) {
        DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        if (missing && refused != 0) SetLastError(refused); // missing because not made
        noteFailure();
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return missing ? Reached::missing : Reached::other;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        noteOwnFailure("a link stands there");
        CloseHandle(handle);
        return Reached::link;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        noteOwnFailure("not a folder");
        CloseHandle(handle);
        return Reached::other;
    }
    folder = holdHandle(handle, path);
    return Reached::folder;
}

// Windows gives no mode bits to keep: what is made inherits the folder's access as always.
FILE* createFileBelow(const HeldFolder& parent, const std::string& name, bool)
{
    const std::wstring path = pathBelow(parent, name);
    if (path.empty()) {
        noteOwnFailure("no name left");
        return nullptr;
    }
    return streamOfHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Windows keeps no mapping writable across a delete: removing the old file and making a new
// one exclusively gives no holder of the old one any of the new bytes.
FILE* replaceFileBelow(const HeldFolder& parent, const std::string& name, bool ownerOnly)
{
    const std::wstring path = pathBelow(parent, name);
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        noteOwnFailure("a folder stands there");
        return nullptr;
    }
    return removeBelow(parent, name) ? createFileBelow(parent, name, ownerOnly) : nullptr;
}

FILE* readFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected)
{
    HANDLE handle = openItself(pathBelow(parent, name), GENERIC_READ);
    BY_HANDLE_FILE_INFORMATION info;
    const bool informed = informationOf(handle, info);
    const bool regular =
        informed && !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (!regular || (expected.valid && !sameFile(identityOfInformation(info), expected))) {
        noteRefused(informed, regular ? notTheOneMade : notRegular);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return nullptr;
    }
    return readStreamOfHandle(handle);
}

bool removeBelow(const HeldFolder& parent, const std::string& name)
{
    const std::wstring path = pathBelow(parent, name);
    DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        noteFailure();
        return false;
    }
    // A link to a folder is removed as a folder; what it leads to is untouched.
    const bool removed =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) != 0 : DeleteFileW(path.c_str()) != 0;
    if (!removed) noteFailure();
    return removed;
}

bool createLinkBelow(const HeldFolder& parent, const std::string& name, const std::string& target, bool folder)
{
    const std::wstring path = pathBelow(parent, name);
    if (path.empty()) {
        noteOwnFailure("no name left");
        return false;
    }
    // Windows resolves only '\' in a link: the stored text's '/' separators are turned.
    std::string text = target;
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* allow unprivileged create */;
    if (!CreateSymbolicLinkW(path.c_str(), wideOf(text).c_str(), flags)) {
        noteFailure();
        return false;
    }
    // Some systems answer yes and make nothing: what stands afterwards decides.
    if (stateBelow(parent, name).kind == EntryKind::link) return true;
    noteOwnFailure("the system made no link");
    return false;
}

namespace {

// Time, then attributes, through a handle opened with the right to change them.
Restored applyPlan(HANDLE handle, DWORD attributes, const RestorePlan& plan)
{
    Restored restored;
    if (plan.withTime) {
        FILETIME time = fileTimeOf(plan.modifiedNs);
        restored.time = SetFileTime(handle, nullptr, nullptr, &time) != 0;
        if (!restored.time) restored.timeReason = reasonOf(GetLastError());
    }
    if (plan.withMode) {
        DWORD wanted = attributesFor(attributes, plan.mode);
        if (wanted != attributes) {
            FILE_BASIC_INFO basic = {}; // zero times: left as they are
            basic.FileAttributes = wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted;
            restored.mode = SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
            if (!restored.mode) restored.modeReason = reasonOf(GetLastError());
        }
    }
    return restored;
}

} // namespace

Restored restoreBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected,
                      const RestorePlan& plan)
{
    HANDLE handle = openItself(pathBelow(parent, name), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info;
    const bool informed = informationOf(handle, info);
    if (!informed || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !sameFile(identityOfInformation(info), expected)) {
        const std::string refused = informed ? std::string(notTheOneMade) : reasonOf(GetLastError());
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return nothingRestored(plan, refused);
    }
    Restored restored = applyPlan(handle, info.dwFileAttributes, plan);
    CloseHandle(handle);
    return restored;
}

Restored restoreHeldFolder(const HeldFolder& folder, const RestorePlan& plan)
{
    // Held without delete sharing, the folder cannot have been renamed or replaced: its path
    // opens it again, as itself, for the right to change its attributes.
    HANDLE handle = openItself(folder.path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info;
    BY_HANDLE_FILE_INFORMATION held;
    const bool informed = informationOf(handle, info);
    if (!informed || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !informationOf(folder.handle, held) ||
        !sameFile(identityOfInformation(info), identityOfInformation(held))) {
        const std::string refused = informed ? std::string(notTheOneMade) : reasonOf(GetLastError());
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return nothingRestored(plan, refused);
    }
    Restored restored = applyPlan(handle, info.dwFileAttributes, plan);
    CloseHandle(handle);
    return restored;
}

Restored restoreOpenFile(FILE* file, const RestorePlan& plan)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    if (!informationOf(handle, info)) return nothingRestored(plan, reasonOf(GetLastError()));
    return applyPlan(handle, info.dwFileAttributes, plan);
}

Restored restoreLinkBelow(const HeldFolder& parent, const std::string& name, const RestorePlan& plan)
{
    Restored restored;
    HANDLE handle = openItself(pathBelow(parent, name), FILE_WRITE_ATTRIBUTES);
    FILETIME time = fileTimeOf(plan.modifiedNs);
    restored.time = handle != INVALID_HANDLE_VALUE && SetFileTime(handle, nullptr, nullptr, &time) != 0;
    if (!restored.time) restored.timeReason = reasonOf(GetLastError());
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return restored;
}

bool createSpecialBelow(const HeldFolder&, const std::string&, SpecialKind, uint32_t, uint32_t, FileIdentity& made)
{
    made = FileIdentity();
    noteOwnFailure("no FIFOs or devices on this system");
    return false;
}

struct HeldItem {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring path;
};

void releaseItem(HeldItem* item)
{
    if (!item) return;
    if (item->handle != INVALID_HANDLE_VALUE) CloseHandle(item->handle);
    delete item;
}

HeldItemPtr holdFileBelow(const HeldFolder& parent, const std::string& name, const FileIdentity& expected)
{
    const std::wstring path = pathBelow(parent, name);
    // Held without delete sharing, so that nothing can take its name before it gets another.
    HANDLE handle = path.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (!informationOf(handle, info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !sameFile(identityOfInformation(info), expected)) {
        noteOwnFailure(notTheOneMade);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        return nullptr;
    }
    HeldItemPtr item(new HeldItem);
    item->handle = handle;
    item->path = path;
    return item;
}

bool createHardLinkBelow(const HeldItem& file, const HeldFolder& parent, const std::string& name)
{
    const std::wstring path = pathBelow(parent, name);
    if (!path.empty() && CreateHardLinkW(path.c_str(), file.path.c_str(), nullptr)) return true;
    noteFailure();
    return false;
}

bool skipZeros(FILE* file, uint64_t count)
{
    return _fseeki64(file, static_cast<int64_t>(count), SEEK_CUR) == 0;
}

bool endFileAt(FILE* file, uint64_t size)
{
    return std::fflush(file) == 0 && _chsize_s(_fileno(file), static_cast<int64_t>(size)) == 0;
}

bool readAttributes(const std::string&, std::vector<Attribute>& attributes)
{
    attributes.clear();
    return true;
}

void ownerNames(std::vector<Owner>& owners)
{
    for (Owner& owner : owners) {
        owner.user.clear();
        owner.group.clear();
    }
}

void ownerNumbers(const std::vector<Owner>& owners, const std::vector<bool>&,
                  std::vector<std::pair<uint32_t, uint32_t>>& ids)
{
    ids.clear();
    for (const Owner& owner : owners) ids.emplace_back(owner.uid, owner.gid);
}

bool runningAsRoot()
{
    return false; // owners, devices and system attributes are Linux's
}

bool processOwner(uint32_t& uid, uint32_t& gid)
{
    uid = gid = 0;
    return false;
}

uint32_t restorableMode(uint32_t stored)
{
    return stored & (0777 | modeHidden | modeSystem);
}

uint32_t defaultFolderMode()
{
    return 0755; // no attribute of its own
}

FILE* openTypedOutput(const std::string& path, bool& created, bool)
{
    HANDLE handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    created = handle != INVALID_HANDLE_VALUE;
    if (created) return streamOfHandle(handle);
    // A regular file there is replaced, never written in place; a device is written into.
    HANDLE probe = CreateFileW(widePath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular =
        probe != INVALID_HANDLE_VALUE && GetFileType(probe) == FILE_TYPE_DISK && informationOf(probe, info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
    if (regular) {
        if (!DeleteFileW(widePath(path).c_str())) {
            noteFailure();
            return nullptr;
        }
        handle = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return streamOfHandle(handle);
        noteFailure();
        return nullptr;
    }
    SetLastError(0);
    FILE* file = _wfopen(widePath(path).c_str(), L"wb");
    if (!file) noteFailure();
    return file;
}

FILE* openTerminalInput()
{
    return _wfopen(L"CONIN$", L"r");
}

bool readSecretLine(const char* prompt, std::string& line)
{
    line.clear();
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return false;
    HANDLE output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    std::u16string promptText;
    utf16OfUtf8(prompt, promptText);
    DWORD written = 0;
    if (output != INVALID_HANDLE_VALUE) {
        WriteConsoleW(output, promptText.data(), static_cast<DWORD>(promptText.size()), &written, nullptr);
    }
    DWORD before = 0;
    const bool quiet = GetConsoleMode(input, &before) != 0;
    if (quiet) SetConsoleMode(input, (before | ENABLE_LINE_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::u16string typed;
    bool ended = false;
    wchar_t c = 0;
    DWORD got = 0;
    while (ReadConsoleW(input, &c, 1, &got, nullptr) && got == 1) {
        if (c == L'\n') {
            ended = true;
            break;
        }
        if (c != L'\r') typed += static_cast<char16_t>(c);
    }
    if (quiet) SetConsoleMode(input, before);
    if (output != INVALID_HANDLE_VALUE) {
        WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
        CloseHandle(output);
    }
    CloseHandle(input);
    line = utf8OfUtf16(typed);
    std::fill(typed.begin(), typed.end(), u'\0');
    return ended || !line.empty();
}

FILE* openSecretOutput(const std::string& path)
{
    // A new file inherits its folder's permissions, which on Windows keep other users out of
    // the user's own folders.
    return openWrite(path);
}

void prepareProcess() {}

} // namespace qv5
