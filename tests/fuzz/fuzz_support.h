#pragma once
// Shared by the fuzz targets: in-memory archive files and a quiet console.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace qv5::fuzz {

// A read-only FILE over a copy of the input. An empty input gets a zero-length file too.
class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : bytes_(data, data + size)
    {
        // fmemopen wants a buffer even for an empty file; its size is what counts.
        if (bytes_.empty()) bytes_.reserve(1);
        file_ = fmemopen(bytes_.data() ? bytes_.data() : placeholder_, size, "rb");
        if (!file_) std::abort();
    }
    ~MemoryFile() { std::fclose(file_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    FILE* get() const { return file_; }

private:
    std::vector<uint8_t> bytes_;
    uint8_t placeholder_[1] = {0};
    FILE* file_ = nullptr;
};

// The program prints its messages with printf; they still run (their formatting is under
// test), but go nowhere unless QV5_FUZZ_VERBOSE is set.
inline void quietConsole()
{
    if (!std::getenv("QV5_FUZZ_VERBOSE") && !std::freopen("/dev/null", "w", stdout)) std::abort();
}

} // namespace qv5::fuzz
