// The Windows services the program was designed around (KERNEL32 and the C runtime).
#include "platform/platform.h"

#include <cstdlib>
#include <ctime>
#include <io.h>
#include <windows.h>

namespace qv5 {

const size_t maxPathLength = 259;
const bool colonIsSpecial = true;

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
    do {
        DirEntry entry;
        entry.name = data.cFileName;
        entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back(std::move(entry));
    } while (FindNextFileA(find, &data));
    FindClose(find);
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
