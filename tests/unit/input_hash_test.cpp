#include "input/hash_file.h"
#include "input_test_support.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

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
