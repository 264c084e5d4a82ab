#include "input/duplicates.h"

#include "console/format.h"
#include "input/content_digest.h"
#include "input/duplicate_regroup.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace qv5 {

namespace {

ContentMatch reportFailure(const char* format, const std::string& path)
{
    std::printf(format, printable(path).c_str());
    return ContentMatch::failed;
}

} // namespace

ContentMatch sameContent(const FileEntry& a, const FileEntry& b, uint8_t* bufferA, uint8_t* bufferB)
{
    if (a.size != b.size) return ContentMatch::different;
    FILE* fileA = openRead(a.sourcePath);
    if (!fileA) return reportFailure("Error opening input file %s\n", a.sourcePath);
    FILE* fileB = openRead(b.sourcePath);
    if (!fileB) {
        std::fclose(fileA);
        return reportFailure("Error opening input file %s\n", b.sourcePath);
    }
    bool equal = true;
    size_t countA;
    do {
        countA = std::fread(bufferA, 1, compareReadSize, fileA);
        size_t countB = std::fread(bufferB, 1, compareReadSize, fileB);
        if (countA != countB) {
            equal = false;
        } else if (countA != 0 && std::memcmp(bufferA, bufferB, countA) != 0) {
            equal = false;
        }
    } while (countA != 0 && equal);
    // A read error looks like an early end of file; it must not pass for a difference or
    // an equality.
    const std::string* unreadable = std::ferror(fileA) ? &a.sourcePath : (std::ferror(fileB) ? &b.sourcePath : nullptr);
    std::fclose(fileA);
    std::fclose(fileB);
    if (unreadable) return reportFailure("Error reading input file %s\n", *unreadable);
    return equal ? ContentMatch::same : ContentMatch::different;
}

bool findDuplicates(std::vector<FileEntry>& entries)
{
    if (entries.size() < 2) return true;
    std::unique_ptr<uint8_t[]> bufferA(new uint8_t[compareReadSize]);
    std::unique_ptr<uint8_t[]> bufferB(new uint8_t[compareReadSize]);
    std::printf("Checking duplicates... ");
    std::fflush(stdout);
    std::unique_ptr<DigestKey> key; // drawn when the first file needs a digest
    // A file that cannot be opened or read for its digest ends the command, as it would in the
    // comparison: a read error is never passed over, even where a second read would succeed.
    bool digestFailed = false;
    auto digestOf = [&](const FileEntry& entry) -> std::optional<ContentDigest> {
        // Empty files cannot be told apart; whatever they hold now, the comparison finds.
        if (entry.size == 0) return ContentDigest{};
        if (!key) key = std::make_unique<DigestKey>(randomDigestKey());
        ContentDigest digest;
        bool opened = false;
        if (digestFailed) return std::nullopt;
        if (digestFile(entry.sourcePath, *key, bufferA.get(), compareReadSize, digest, &opened)) return digest;
        reportFailure(opened ? "Error reading input file %s\n" : "Error opening input file %s\n", entry.sourcePath);
        digestFailed = true;
        return std::nullopt;
    };
    int64_t count = detail::regroupDuplicates(entries, digestOf, [&](const FileEntry& a, const FileEntry& b) {
        if (digestFailed) return ContentMatch::failed; // reported already
        return sameContent(a, b, bufferA.get(), bufferB.get());
    });
    if (count < 0 || digestFailed) return false;
    std::printf("%d/%d\n", static_cast<int>(count), static_cast<int>(entries.size()));
    return true;
}

} // namespace qv5
