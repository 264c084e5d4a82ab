#include "input/hash_file.h"

#include "platform/platform.h"
#include "qv5/qv5.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace qv5 {

InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size, const HashProgress& progress,
                    FileMetadata* metadata)
{
    FILE* file = openRead(path);
    if (!file) return InputError{InputFailure::openInput, path, false, lastFailureReason()};
    // The file is read in large pieces straight into the hashing buffer: a stream buffer would
    // only cost the system call that sizes it.
    std::setvbuf(file, nullptr, _IONBF, 0);
    bool ok = (!size || sizeOfFile(file, *size)) && (!metadata || metadataOfFile(file, *metadata));
    ok = ok && crc32OfFile(file, crc, progress);
    // Each of them keeps the reason of its failure.
    const std::string reason = ok ? std::string() : lastFailureReason();
    std::fclose(file);
    if (!ok) return InputError{InputFailure::readInput, path, false, reason};
    return InputError();
}

// Each thread takes the next entry not yet taken. Entries are taken in list order, and a
// thread finishes the entry it took before it looks at the failure flag, so when the first
// failure is known every entry before it has been hashed: the earliest failing entry is the
// one hashing them in order would have stopped at.
InputError hashEntries(std::vector<FileEntry>& entries, bool withMetadata, int32_t threads,
                       const EntryHashProgress& progress)
{
    const size_t total = entries.size();
    size_t wanted = threads > 0 ? static_cast<size_t>(threads) : std::max(1u, std::thread::hardware_concurrency());
    wanted = std::min({wanted, total, size_t(64)});
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex; // progress calls, and the failure below
    size_t failedAt = total;
    InputError firstFailure;
    std::exception_ptr thrown;
    auto work = [&] {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const size_t k = next.fetch_add(1, std::memory_order_relaxed);
                if (k >= total) return;
                FileEntry& entry = entries[k];
                HashProgress shown;
                if (progress) {
                    shown = [&progress, &mutex, k](uint64_t hashed) {
                        std::lock_guard<std::mutex> lock(mutex);
                        progress(k, hashed);
                    };
                }
                InputError failure =
                    hashFile(entry.sourcePath, entry.crc, &entry.size, shown, withMetadata ? &entry.metadata : nullptr);
                if (failure) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (k < failedAt) {
                        failedAt = k;
                        firstFailure = std::move(failure);
                    }
                    stop = true;
                    return;
                }
                entry.crcPresent = 1;
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!thrown) thrown = std::current_exception();
            stop = true;
        }
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // fewer threads: the work is the same
        }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
    if (thrown) std::rethrow_exception(thrown);
    return firstFailure;
}

} // namespace qv5
