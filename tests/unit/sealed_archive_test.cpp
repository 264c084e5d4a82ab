// Sealed archives through the library: written with writeArchive and a key set, read back with
// openSealedArchive by passphrase or secret key; a wrong one opens nothing.
#include "qv5/qv5.h"
#include "seal/sealed_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qv5 {
namespace {

std::vector<NewEntry> sample(const std::string& text)
{
    std::vector<NewEntry> entries(2);
    entries[0].name = "/notes/plan.txt";
    entries[0].data = reinterpret_cast<const uint8_t*>(text.data());
    entries[0].size = static_cast<int64_t>(text.size());
    entries[0].crc = crc32(0, text.data(), text.size());
    entries[1].name = "/empty";
    return entries;
}

// The sealed bytes in a temporary file, as readers take them.
FILE* fileOf(const std::vector<uint8_t>& bytes)
{
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
    std::rewind(file);
    return file;
}

std::map<size_t, std::string> contentsOf(Archive& archive, std::vector<Entry>& table)
{
    std::map<size_t, std::string> contents;
    EXPECT_FALSE(readTable(archive, TableCallbacks(), table));
    ContentCallbacks read;
    read.bytes = [&](size_t index, const uint8_t* data, size_t count) {
        contents[index].append(reinterpret_cast<const char*>(data), count);
        return true;
    };
    EXPECT_FALSE(readContents(archive, table, 2, read));
    return contents;
}

TEST(SealedArchive, PassphraseRoundTripAndWrongOne)
{
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of the secret plan\n";
    const std::vector<NewEntry> entries = sample(text);
    SealKeys keys;
    keys.passphrase = "open sesame";
    keys.passes = 1;
    keys.memoryKiB = 64;
    WriteOptions options;
    options.seal = &keys;
    std::vector<uint8_t> sealed;
    WriteResult result;
    ASSERT_FALSE(writeArchive(entries, memoryOutput(sealed), options, WriteCallbacks(), result));
    EXPECT_EQ(result.archiveBytes, sealed.size());
    EXPECT_EQ(std::string(sealed.begin(), sealed.end()).find("secret plan"), std::string::npos);
    EXPECT_EQ(std::string(sealed.begin(), sealed.end()).find("plan.txt"), std::string::npos);

    FILE* file = fileOf(sealed);
    EXPECT_TRUE(isSealedArchive(file));
    // A plain reader says it is no archive.
    {
        ArchivePtr plain = openArchive(file);
        std::vector<Entry> table;
        EXPECT_EQ(readTable(*plain, TableCallbacks(), table).code, ErrorCode::notAnArchive);
        std::rewind(file);
    }
    SealKeys wrong;
    wrong.passphrase = "open sesane";
    ArchivePtr archive;
    EXPECT_EQ(openSealedArchive(file, wrong, archive).code, ErrorCode::wrongKey);
    EXPECT_FALSE(archive);
    EXPECT_EQ(openSealedArchive(file, SealKeys(), archive).code, ErrorCode::sealKeyMissing);
    ASSERT_FALSE(openSealedArchive(file, keys, archive));
    std::vector<Entry> table;
    std::map<size_t, std::string> contents = contentsOf(*archive, table);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].name, "/notes/plan.txt");
    EXPECT_EQ(contents[0], text);
    archive.reset();
    std::fclose(file);
}

TEST(SealedArchive, RecipientsOpenWithTheirSecretKeys)
{
    const std::string text = "a short note";
    const std::vector<NewEntry> entries = sample(text);
    X25519Key first, second, stranger, firstPublic, secondPublic;
    newSecretKey(first);
    newSecretKey(second);
    newSecretKey(stranger);
    ASSERT_TRUE(publicKeyOf(first, firstPublic));
    ASSERT_TRUE(publicKeyOf(second, secondPublic));
    SealKeys keys;
    keys.recipients = {firstPublic, secondPublic};
    WriteOptions options;
    options.seal = &keys;
    std::vector<uint8_t> sealed;
    WriteResult result;
    ASSERT_FALSE(writeArchive(entries, memoryOutput(sealed), options, WriteCallbacks(), result));
    FILE* file = fileOf(sealed);
    for (const X25519Key* secret : {&first, &second, &stranger}) {
        SealKeys with;
        with.identity = *secret;
        with.hasIdentity = true;
        ArchivePtr archive;
        const Error failure = openSealedArchive(file, with, archive);
        if (secret == &stranger) {
            EXPECT_EQ(failure.code, ErrorCode::wrongKey);
            continue;
        }
        ASSERT_FALSE(failure);
        std::vector<Entry> table;
        EXPECT_EQ(contentsOf(*archive, table)[0], text);
    }
    // Both kinds at once, or neither, is refused before anything is written.
    keys.passphrase = "and a passphrase";
    sealed.clear();
    EXPECT_EQ(writeArchive(entries, memoryOutput(sealed), options, WriteCallbacks(), result).code, ErrorCode::sealKeyMissing);
    EXPECT_TRUE(sealed.empty());
    std::fclose(file);
}

} // namespace
} // namespace qv5
