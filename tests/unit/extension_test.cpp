#include "archive/extension_format.h"
#include "codec/byte_order.h"
#include "qv5/qv5.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace qv5;

namespace {

Extension sample()
{
    Extension extension;
    extension.namesUtf8 = true;
    extension.entries = {{-1234567890123, 0644}, {4102444800000000001, 0755 | modeHidden}};
    extension.folders = {{"/docs", {1, 0700}}, {"/docs/empty", {-1, 0555}}};
    extension.links = {{"/docs/latest", "v2", LinkKind::folder, {5, 0777}},
                       {"/docs/gone", "/nowhere/at/all", LinkKind::unknown, {6, 0777}}};
    return extension;
}

bool sameExtension(const Extension& a, const Extension& b)
{
    auto same = [](const Metadata& x, const Metadata& y) { return x.modifiedNs == y.modifiedNs && x.mode == y.mode; };
    if (a.namesUtf8 != b.namesUtf8 || a.entries.size() != b.entries.size() || a.folders.size() != b.folders.size() ||
        a.links.size() != b.links.size()) {
        return false;
    }
    for (size_t i = 0; i < a.entries.size(); ++i) {
        if (!same(a.entries[i], b.entries[i])) return false;
    }
    for (size_t i = 0; i < a.folders.size(); ++i) {
        if (a.folders[i].name != b.folders[i].name || !same(a.folders[i].metadata, b.folders[i].metadata)) return false;
    }
    for (size_t i = 0; i < a.links.size(); ++i) {
        if (a.links[i].name != b.links[i].name || a.links[i].target != b.links[i].target ||
            a.links[i].kind != b.links[i].kind || !same(a.links[i].metadata, b.links[i].metadata)) {
            return false;
        }
    }
    return true;
}

// The block with its CRC-32 made right again after a change.
void reseal(std::vector<uint8_t>& block)
{
    storeU64(block.data() + 8, block.size());
    storeU32(block.data() + block.size() - 4, crc32(0, block.data(), block.size() - 4));
}

const uint8_t* bytesOf(const std::string& text)
{
    return reinterpret_cast<const uint8_t*>(text.data());
}

} // namespace

TEST(Extension, RoundTripSkipsLaterKindsAndRefusesDamage)
{
    const Extension original = sample();
    std::vector<uint8_t> block = extensionBytes(original);
    Extension read;
    ASSERT_FALSE(parseExtension(block.data(), block.size(), read));
    EXPECT_TRUE(sameExtension(read, original));

    // A record of a kind this version does not know, from a later version, is passed over.
    std::vector<uint8_t> later(block.begin(), block.end() - 4);
    later[4] = 2; // version 2
    const uint8_t unknown[] = {0x7F, 3, 0, 0, 0, 'x', 'y', 'z'};
    later.insert(later.begin() + extensionHeadSize, unknown, unknown + sizeof unknown);
    later.resize(later.size() + 4);
    reseal(later);
    ASSERT_FALSE(parseExtension(later.data(), later.size(), read));
    EXPECT_TRUE(sameExtension(read, original));

    // Every byte counts: a flipped bit, a cut, a record running past the block, a length
    // that is not the block's.
    std::vector<uint8_t> flipped = block;
    flipped[20] ^= 1;
    EXPECT_EQ(parseExtension(flipped.data(), flipped.size(), read).detail, "extension checksum");
    EXPECT_EQ(parseExtension(block.data(), block.size() - 1, read).detail, "extension length");
    std::vector<uint8_t> overrun = block;
    storeU32(overrun.data() + extensionHeadSize + 1, 1u << 30); // the entry record's payload length
    reseal(overrun);
    EXPECT_EQ(parseExtension(overrun.data(), overrun.size(), read).code, ErrorCode::damagedArchive);
    std::vector<uint8_t> noMagic = block;
    noMagic[0] = 'X';
    reseal(noMagic);
    EXPECT_EQ(parseExtension(noMagic.data(), noMagic.size(), read).detail, "extension not found");
}

// The extension's place in the header when the output can be patched, after the stream when
// it cannot; base-format readers read the same table and bytes either way.
TEST(Extension, WrittenAndFoundInMemory)
{
    const std::string one(50000, 'a');
    const std::string two = "second";
    std::vector<NewEntry> entries = {memoryEntry("/one", bytesOf(one), one.size()),
                                     memoryEntry("/two", bytesOf(two), two.size())};
    Extension extension = sample();
    std::vector<uint8_t> plain;
    WriteResult result;
    ASSERT_FALSE(writeArchive(entries, memoryOutput(plain), WriteOptions(), WriteCallbacks(), result));
    for (bool patchable : {true, false}) {
        std::vector<uint8_t> archive;
        WriteOptions options;
        options.extension = &extension;
        if (patchable) {
            options.rewrite = [&](uint64_t at, const uint8_t* bytes, size_t count) {
                std::copy(bytes, bytes + count, archive.begin() + static_cast<std::ptrdiff_t>(at));
                return true;
            };
        }
        ASSERT_FALSE(writeArchive(entries, memoryOutput(archive), options, WriteCallbacks(), result));
        // Up to the extension, the archive is the plain one but for the header's flags and place.
        ASSERT_GT(archive.size(), plain.size());
        EXPECT_TRUE(std::equal(plain.begin() + 40, plain.end(), archive.begin() + 40));

        ArchivePtr reading = openArchive(archive.data(), archive.size());
        std::vector<Entry> table;
        ASSERT_FALSE(readTable(*reading, TableCallbacks(), table));
        ASSERT_TRUE(hasExtension(*reading));
        EXPECT_EQ(extensionFollowsStream(*reading), !patchable);
        Extension read;
        if (patchable) {
            EXPECT_EQ(loadU64(archive.data() + 32), plain.size());
            ASSERT_FALSE(readExtension(*reading, read));
            EXPECT_TRUE(sameExtension(read, extension));
        }
        std::map<size_t, std::string> contents;
        ContentCallbacks callbacks;
        callbacks.bytes = [&](size_t index, const uint8_t* data, size_t count) {
            contents[index].append(reinterpret_cast<const char*>(data), count);
            return true;
        };
        ASSERT_FALSE(readContents(*reading, table, 1, callbacks));
        EXPECT_EQ(contents[0], one);
        EXPECT_EQ(contents[1], two);
        if (!patchable) {
            ASSERT_FALSE(readTrailingExtension(*reading, read));
            EXPECT_TRUE(sameExtension(read, extension));
        }
    }
    // The metadata must describe every entry.
    extension.entries.pop_back();
    std::vector<uint8_t> archive;
    WriteOptions options;
    options.extension = &extension;
    EXPECT_TRUE(writeArchive(entries, memoryOutput(archive), options, WriteCallbacks(), result));
}
