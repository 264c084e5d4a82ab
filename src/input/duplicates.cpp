#include "input/duplicates.h"

#include "input/content_digest.h"
#include "input/duplicate_regroup.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace qv5 {

namespace {

// The failure of the system call just made on path.
ContentMatch failWith(InputError* failure, InputFailure kind, const std::string& path)
{
    if (failure) *failure = InputError{kind, path, false, lastFailureReason()};
    return ContentMatch::failed;
}

} // namespace

ContentMatch sameContent(const FileEntry& a, const FileEntry& b, uint8_t* bufferA, uint8_t* bufferB,
                         InputError* failure)
{
    if (a.size != b.size) return ContentMatch::different;
    FILE* fileA = openRead(a.sourcePath);
    if (!fileA) return failWith(failure, InputFailure::openInput, a.sourcePath);
    FILE* fileB = openRead(b.sourcePath);
    if (!fileB) {
        std::fclose(fileA);
        return failWith(failure, InputFailure::openInput, b.sourcePath);
    }
    bool equal = true;
    size_t countA;
    // A read error looks like an early end of file; it must not pass for a difference or
    // an equality. Its reason is taken right after the read that failed.
    const std::string* unreadable = nullptr;
    auto readFailed = [&](FILE* file, const std::string& path) {
        if (!std::ferror(file)) return false;
        noteStreamFailure();
        unreadable = &path;
        return true;
    };
    do {
        countA = std::fread(bufferA, 1, compareReadSize, fileA);
        if (readFailed(fileA, a.sourcePath)) break;
        size_t countB = std::fread(bufferB, 1, compareReadSize, fileB);
        if (readFailed(fileB, b.sourcePath)) break;
        if (countA != countB) {
            equal = false;
        } else if (countA != 0 && std::memcmp(bufferA, bufferB, countA) != 0) {
            equal = false;
        }
    } while (countA != 0 && equal);
    std::fclose(fileA);
    std::fclose(fileB);
    if (unreadable) return failWith(failure, InputFailure::readInput, *unreadable);
    return equal ? ContentMatch::same : ContentMatch::different;
}

void removeEntries(std::vector<FileEntry>& entries, const std::vector<std::string>& paths)
{
    if (paths.empty()) return;
    const std::set<std::string> gone(paths.begin(), paths.end());
    std::vector<FileEntry> kept;
    kept.reserve(entries.size());
    bool runHeld = false; // the run being passed has an entry left
    for (FileEntry& entry : entries) {
        if (!entry.duplicate) runHeld = false;
        if (gone.count(entry.sourcePath)) continue;
        if (!runHeld) entry.duplicate = 0; // the first left of its run holds the bytes
        runHeld = true;
        kept.push_back(std::move(entry));
    }
    entries.swap(kept);
}

InputError findDuplicates(std::vector<FileEntry>& entries, int64_t& count, std::vector<InputError>* unreadable)
{
    count = 0;
    if (entries.size() < 2) return InputError();
    std::unique_ptr<uint8_t[]> bufferA(new uint8_t[compareReadSize]);
    std::unique_ptr<uint8_t[]> bufferB(new uint8_t[compareReadSize]);
    InputError failure;
    // Files that failed once, when they are listed rather than failing the whole: the first
    // failure is theirs, and they are compared with nothing again.
    std::set<std::string> failed;
    auto listed = [&] {
        if (!unreadable || !failure) return false;
        if (failed.insert(failure.path).second) unreadable->push_back(failure);
        failure = InputError();
        return true;
    };
    auto leftAlone = [&](const FileEntry& entry) { return entry.contents || failed.count(entry.sourcePath) != 0; };
    std::unique_ptr<DigestKey> key; // drawn when the first file needs a digest
    // A file that cannot be opened or read for its digest ends the command, as it would in the
    // comparison: a read error is never passed over, even where a second read would succeed.
    auto digestOf = [&](const FileEntry& entry) -> std::optional<ContentDigest> {
        // Empty files cannot be told apart; whatever they hold now, the comparison finds.
        if (entry.size == 0) return ContentDigest{};
        if (!key) key = std::make_unique<DigestKey>(randomDigestKey());
        ContentDigest digest;
        bool opened = false;
        if (failure || leftAlone(entry)) return std::nullopt;
        if (digestFile(entry.sourcePath, *key, bufferA.get(), compareReadSize, digest, &opened)) return digest;
        failure = InputError{opened ? InputFailure::readInput : InputFailure::openInput, entry.sourcePath, false,
                             lastFailureReason()};
        listed();
        return std::nullopt;
    };
    count = detail::regroupDuplicates(entries, digestOf, [&](const FileEntry& a, const FileEntry& b) {
        if (failure) return ContentMatch::failed; // the first failure is the one reported
        if (leftAlone(a) || leftAlone(b)) return ContentMatch::different;
        const ContentMatch match = sameContent(a, b, bufferA.get(), bufferB.get(), &failure);
        return match == ContentMatch::failed && listed() ? ContentMatch::different : match;
    });
    return failure;
}

} // namespace qv5
