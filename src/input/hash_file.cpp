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
#include <vector>

namespace qv5 {

namespace {

constexpr const char* virtualTooLarge = "a file made when read, larger than 64 MiB, is not stored";

// The whole of a file made when read, to its end, into contents; its CRC-32 and size.
InputError readVirtualFile(FILE* file, const std::string& path, uint32_t& crc, int64_t* size,
                           std::shared_ptr<const std::vector<uint8_t>>& contents)
{
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    uint8_t piece[1 << 16];
    size_t count;
    while ((count = std::fread(piece, 1, sizeof piece, file)) != 0) {
        if (bytes->size() + count > virtualFileLimit) {
            std::fclose(file);
            return InputError{InputFailure::readInput, path, false, virtualTooLarge};
        }
        bytes->insert(bytes->end(), piece, piece + count);
    }
    const bool failed = std::ferror(file) != 0;
    if (failed) noteStreamFailure();
    const std::string reason = failed ? lastFailureReason() : std::string();
    std::fclose(file);
    if (failed) return InputError{InputFailure::readInput, path, false, reason};
    crc = crc32(0, bytes->data(), bytes->size());
    if (size) *size = static_cast<int64_t>(bytes->size());
    contents = std::move(bytes);
    return InputError();
}

// hashFile's work. With deferred, a file measured larger than largest is closed unhashed and
// *deferred set; nothing has failed then. With contents, a file made when read is read whole
// into it.
InputError hashOrDefer(const std::string& path, uint32_t& crc, int64_t* size, const HashProgress& progress,
                       FileMetadata* metadata, int64_t largest, bool* deferred,
                       std::shared_ptr<const std::vector<uint8_t>>* contents = nullptr)
{
    FILE* file = openRead(path);
    if (!file) return InputError{InputFailure::openInput, path, false, lastFailureReason()};
    // The file is read in large pieces straight into the hashing buffer: a stream buffer would
    // only cost the system call that sizes it.
    std::setvbuf(file, nullptr, _IONBF, 0);
    if (contents && isVirtualFile(file)) {
        if (metadata && !metadataOfFile(file, *metadata)) {
            const std::string reason = lastFailureReason();
            std::fclose(file);
            return InputError{InputFailure::readInput, path, false, reason};
        }
        return readVirtualFile(file, path, crc, size, *contents);
    }
    int64_t measured = 0;
    bool ok = (!size && !deferred) || sizeOfFile(file, measured);
    if (ok && deferred && measured > largest) {
        std::fclose(file);
        *deferred = true;
        return InputError();
    }
    if (ok && size) *size = measured;
    ok = ok && (!metadata || metadataOfFile(file, *metadata));
    ok = ok && crc32OfFile(file, crc, progress);
    // Each of them keeps the reason of its failure.
    const std::string reason = ok ? std::string() : lastFailureReason();
    std::fclose(file);
    if (!ok) return InputError{InputFailure::readInput, path, false, reason};
    return InputError();
}

} // namespace

InputError hashFile(const std::string& path, uint32_t& crc, int64_t* size, const HashProgress& progress,
                    FileMetadata* metadata)
{
    return hashOrDefer(path, crc, size, progress, metadata, 0, nullptr);
}

// Each thread takes the next entry not yet taken. Entries are taken in list order, and a
// thread finishes the entry it took before it looks at the failure flag, so when the first
// failure is known every entry before it has been hashed or set aside. A file large enough to
// show progress lines is set aside and hashed afterwards on this thread, in list order, so
// that the console shows exactly the lines, in the order, of hashing on one thread. The
// earliest failing entry of both rounds is the one hashing in order would have stopped at.
InputError hashEntries(std::vector<FileEntry>& entries, bool withMetadata, int32_t threads,
                       const EntryHashProgress& progress, std::vector<std::pair<size_t, InputError>>* unreadable)
{
    const size_t total = entries.size();
    size_t wanted = threads > 0 ? static_cast<size_t>(threads) : std::max(1u, std::thread::hardware_concurrency());
    wanted = std::min({wanted, total, size_t(64)});
    std::vector<InputError> failures(unreadable ? total : 0); // each entry's, when listed
    auto hash = [&](size_t k, const HashProgress& shown, bool* deferred) {
        FileEntry& entry = entries[k];
        InputError failure = hashOrDefer(entry.sourcePath, entry.crc, &entry.size, shown,
                                         withMetadata ? &entry.metadata : nullptr, int64_t(crcProgressStep), deferred,
                                         unreadable ? &entry.contents : nullptr);
        if (!failure && !(deferred && *deferred)) entry.crcPresent = 1;
        if (failure && unreadable) { // listed, not a failure of the whole
            failures[k] = std::move(failure);
            return InputError();
        }
        return failure;
    };
    auto listFailures = [&] {
        for (size_t k = 0; k < failures.size(); ++k) {
            if (failures[k]) unreadable->emplace_back(k, std::move(failures[k]));
        }
    };
    auto shownFor = [&](size_t k) -> HashProgress {
        if (!progress) return nullptr;
        return [&progress, k](uint64_t hashed) { progress(k, hashed); };
    };
    if (wanted <= 1) { // in order on this thread, large files included
        for (size_t k = 0; k < total; ++k)
            if (InputError failure = hash(k, shownFor(k), nullptr)) return failure;
        if (unreadable) listFailures();
        return InputError();
    }

    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex; // guards what follows
    size_t failedAt = total;
    InputError firstFailure;
    std::vector<size_t> setAside;
    std::exception_ptr thrown;
    auto work = [&] {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const size_t k = next.fetch_add(1, std::memory_order_relaxed);
                if (k >= total) return;
                bool deferred = false;
                InputError failure = hash(k, nullptr, progress ? &deferred : nullptr);
                if (!deferred && !failure) continue; // most files: nothing to share
                std::lock_guard<std::mutex> lock(mutex);
                if (deferred) setAside.push_back(k);
                if (failure) {
                    if (k < failedAt) {
                        failedAt = k;
                        firstFailure = std::move(failure);
                    }
                    stop = true;
                    return;
                }
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
    std::sort(setAside.begin(), setAside.end());
    for (size_t k : setAside) {
        if (k > failedAt) break;
        if (InputError failure = hash(k, shownFor(k), nullptr)) return failure;
    }
    if (unreadable && !firstFailure) listFailures();
    return firstFailure;
}

} // namespace qv5
