#include "input/hash_file.h"
#include "input_test_support.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace qv5;

class HashFile : public testing_support::TempFolder {};

TEST_F(HashFile, MatchesAcrossReadBoundariesAndMeasuresTheFile)
{
    std::mt19937 rng(11);
    std::string data(512 * 1024 * 2 + 13, '\0'); // reads of 512 KiB split the 16-byte groups
    for (char& b : data) b = static_cast<char>(rng());
    std::string path = write("hash.bin", data);
    uint32_t crc = 1;
    int64_t size = 0;
    ASSERT_FALSE(hashFile(path, crc, &size));
    EXPECT_EQ(crc, crc32(0, data.data(), data.size()));
    EXPECT_EQ(size, static_cast<int64_t>(data.size()));

    path = write("empty", "");
    ASSERT_FALSE(hashFile(path, crc));
    EXPECT_EQ(crc, 0u);

    InputError missing = hashFile((root_ / "missing").string(), crc);
    EXPECT_EQ(missing.kind, InputFailure::openInput);
    EXPECT_EQ(missing.path, (root_ / "missing").string());
}

TEST_F(HashFile, ReportsProgressEvery128MiB)
{
    // Exactly 256 reads of 512 KiB reports nothing; one byte more reports the bytes before it.
    std::string data(128u << 20, 'Z');
    std::string path = write("big.bin", data);
    std::vector<uint64_t> reports;
    uint32_t crc = 0;
    ASSERT_FALSE(hashFile(path, crc, nullptr, [&](uint64_t hashed) { reports.push_back(hashed); }));
    EXPECT_TRUE(reports.empty());
    path = write("big.bin", data + "Z");
    ASSERT_FALSE(hashFile(path, crc, nullptr, [&](uint64_t hashed) { reports.push_back(hashed); }));
    EXPECT_EQ(reports, std::vector<uint64_t>{128u << 20});
}

// Hashing on several threads gives every entry what hashing it alone gives, and fails as
// hashing in list order would: with the earliest entry that fails, wherever the threads
// stand when it is met.
TEST_F(HashFile, EntriesOnSeveralThreadsAsInListOrder)
{
    std::mt19937 rng(12);
    std::vector<FileEntry> entries(40);
    std::vector<uint32_t> crcs;
    for (size_t k = 0; k < entries.size(); ++k) {
        std::string data(rng() % 70000, '\0');
        for (char& b : data) b = static_cast<char>(rng());
        entries[k].sourcePath = write(std::string("f").append(std::to_string(k)), data);
        crcs.push_back(crc32(0, data.data(), data.size()));
    }
    for (int32_t threads : {1, 2, 3, 8, 0}) {
        SCOPED_TRACE(threads);
        std::vector<FileEntry> hashed = entries;
        ASSERT_FALSE(hashEntries(hashed, false, threads));
        for (size_t k = 0; k < hashed.size(); ++k) {
            EXPECT_EQ(hashed[k].crc, crcs[k]);
            EXPECT_EQ(hashed[k].crcPresent, 1);
            EXPECT_EQ(hashed[k].size, static_cast<int64_t>(std::filesystem::file_size(hashed[k].sourcePath)));
        }
        for (size_t first : {size_t(0), size_t(17), size_t(39)}) {
            std::vector<FileEntry> broken = entries;
            for (size_t k = first; k < broken.size(); k += 5) broken[k].sourcePath += ".missing";
            InputError failure = hashEntries(broken, false, threads);
            EXPECT_EQ(failure.kind, InputFailure::openInput);
            EXPECT_EQ(failure.path, broken[first].sourcePath);
        }
    }
}

// Files large enough to show progress are hashed after the others, on the calling thread and
// in list order: the progress calls are those of hashing on one thread, also when a later
// file fails.
TEST_F(HashFile, ProgressOnSeveralThreadsAsOnOne)
{
    std::vector<FileEntry> entries(10);
    for (size_t k = 0; k < entries.size(); ++k) {
        entries[k].sourcePath = write(std::string("f").append(std::to_string(k)), std::string(k * 1000, 'x'));
        // Holes: two reports for the first, one for the second, which on several threads would
        // come between them.
        if (k == 3) std::filesystem::resize_file(entries[k].sourcePath, (256u << 20) + k);
        if (k == 7) std::filesystem::resize_file(entries[k].sourcePath, (128u << 20) + k);
    }
    auto run = [](std::vector<FileEntry> list, int32_t threads, std::vector<std::pair<size_t, uint64_t>>& calls) {
        InputError failure =
            hashEntries(list, false, threads, [&](size_t k, uint64_t hashed) { calls.emplace_back(k, hashed); });
        return std::make_pair(failure.path, list);
    };
    std::vector<FileEntry> broken = entries;
    broken[5].sourcePath += ".missing";
    for (const std::vector<FileEntry>* list : {&entries, &broken}) {
        std::vector<std::pair<size_t, uint64_t>> alone, shared;
        auto [failedAlone, hashedAlone] = run(*list, 1, alone);
        auto [failedShared, hashedShared] = run(*list, 4, shared);
        EXPECT_EQ(failedShared, failedAlone);
        EXPECT_EQ(shared, alone);
        if (list == &entries) {
            EXPECT_EQ(alone, (std::vector<std::pair<size_t, uint64_t>>{{3, 128u << 20}, {3, 256u << 20}, {7, 128u << 20}}));
            for (size_t k = 0; k < entries.size(); ++k) {
                EXPECT_EQ(hashedShared[k].crc, hashedAlone[k].crc) << k;
                EXPECT_EQ(hashedShared[k].crcPresent, 1) << k;
            }
        } else {
            EXPECT_EQ(failedAlone, broken[5].sourcePath);
            EXPECT_EQ(alone, (std::vector<std::pair<size_t, uint64_t>>{{3, 128u << 20}, {3, 256u << 20}}));
        }
    }
}
