// The Windows services the program was designed around (KERNEL32 and the C runtime).
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace qv5 {

const size_t maxPathLength = 259;
const bool windowsNames = true;
const bool namesIgnoreCase = true;

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

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

bool isRegularFile(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

bool sameFile(const FileIdentity& a, const FileIdentity& b)
{
    return a.valid && b.valid && a.device == b.device && a.index == b.index;
}

bool fullPathName(const std::string& argument, std::string& fullPath)
{
    char buffer[MAX_PATH];
    DWORD n = GetFullPathNameA(argument.c_str(), MAX_PATH, buffer, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    std::string result(buffer, n);
    // "docs\" means the folder docs; "C:\" keeps its separator.
    while (result.size() > 1 && isSeparator(result.back())) {
        if (result.size() == 3 && result[1] == ':') break;
        result.pop_back();
    }
    fullPath = std::move(result);
    return true;
}

bool findEntries(const std::string& searchPath, std::vector<DirEntry>& entries)
{
    entries.clear();
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(searchPath.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    size_t cut = searchPath.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? std::string() : searchPath.substr(0, cut + 1);
    do {
        DirEntry entry;
        entry.name = data.cFileName;
        entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.push_back(std::move(entry));
    } while (FindNextFileA(find, &data));
    FindClose(find);
    // Folders carry their identity, so that one reached again through a link or junction is
    // walked once.
    for (DirEntry& entry : entries) {
        if (entry.isFolder && entry.name != "." && entry.name != "..") entry.identity = identityOfPath(folder + entry.name);
    }
    return true;
}

bool querySize(const std::string& path, int64_t& size)
{
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER value;
    BOOL ok = GetFileSizeEx(handle, &value);
    CloseHandle(handle);
    if (!ok) return false;
    size = value.QuadPart;
    return true;
}

FILE* openRead(const std::string& path)
{
    if (!isRegularFile(path)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

FILE* openWrite(const std::string& path)
{
    return std::fopen(path.c_str(), "wb");
}

int seekFile(FILE* file, int64_t offset, int origin)
{
    return _fseeki64(file, offset, origin);
}

int64_t tellFile(FILE* file)
{
    return _ftelli64(file);
}

bool sizeOfFile(FILE* file, int64_t& size)
{
    __int64 length = _filelengthi64(_fileno(file));
    if (length < 0) return false;
    size = static_cast<int64_t>(length);
    return true;
}

void adviseLargePages(void*, size_t) {}

bool removeFile(const std::string& path)
{
    return std::remove(path.c_str()) == 0;
}

void createDirectory(const std::string& path)
{
    CreateDirectoryA(path.c_str(), nullptr);
}

EntryKind entryKindOf(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::missing
                                                                                : EntryKind::other;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::folder;
    return EntryKind::file;
}

namespace {

FILE* streamOfHandle(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

} // namespace

FILE* createExclusive(const std::string& path)
{
    return streamOfHandle(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

FILE* openExistingRegular(const std::string& path)
{
    // The reparse point itself would be opened, never followed; it is refused below.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return nullptr;
    }
    // A file with other names (a hard link) is not written through: this name gets its own.
    if (info.nNumberOfLinks > 1) {
        CloseHandle(handle);
        return removeEntry(path) ? createExclusive(path) : nullptr;
    }
    if (!SetEndOfFile(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    return streamOfHandle(handle);
}

bool removeEntry(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    // A link to a folder is removed as a folder; what it leads to is untouched.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(path.c_str()) != 0;
    return DeleteFileA(path.c_str()) != 0;
}

bool linkTarget(const std::string& path, std::string& target)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        target = path;
        return true;
    }
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    char buffer[MAX_PATH + 8];
    DWORD n = GetFinalPathNameByHandleA(handle, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
    CloseHandle(handle);
    if (n == 0 || n >= sizeof buffer) return false;
    target.assign(buffer, n);
    if (target.rfind("\\\\?\\", 0) == 0) target.erase(0, 4);
    return true;
}

namespace {

char pendingTemporary[MAX_PATH + 16];
volatile LONG havePendingTemporary = 0;

BOOL WINAPI removePendingOnBreak(DWORD)
{
    if (havePendingTemporary) DeleteFileA(pendingTemporary);
    return FALSE; // the default handler ends the process
}

} // namespace

FILE* createTemporaryBeside(const std::string& path, std::string& temporaryPath)
{
    if (path.size() + 16 >= sizeof pendingTemporary) return nullptr;
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static bool handlerSet = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = path + ".tmp-";
        uint32_t bits = static_cast<uint32_t>(GetTickCount()) * 2654435761u ^ GetCurrentProcessId() ^
                        static_cast<uint32_t>(attempt) * 40503u;
        for (int i = 0; i < 6; ++i, bits /= 36) candidate += digits[bits % 36];
        HANDLE handle = CreateFileA(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        FILE* file = streamOfHandle(handle);
        if (!file) {
            DeleteFileA(candidate.c_str());
            return nullptr;
        }
        std::memcpy(pendingTemporary, candidate.c_str(), candidate.size() + 1);
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
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

FileIdentity identityOfPath(const std::string& path)
{
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
    char buffer[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    path.assign(buffer, n);
    return true;
}

void markExecutable(const std::string&) {}

bool isTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
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

const char* currentFolderPrefix() { return ".\\"; }

} // namespace qv5
