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
