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

// What Linux keeps besides comes as records of their own: an extension without them is what
// earlier versions wrote, byte for byte, and one with them reads back whole. Records that
// point past what the block holds are damage.
TEST(Extension, LinuxRecordsRoundTripAndAreChecked)
{
    Extension plain = sample();
    Extension full = sample();
    full.owners = {{0, 0, "root", "root"}, {1234, 5678, "", ""}};
    full.entries[0].owner = 1;
    full.entries[0].attributes = {{"user.color", "blue"}, {"security.capability", std::string("\1\0\0\2", 4)}};
    full.folders[1].metadata.owner = 0;
    full.links[0].metadata.owner = 1;
    full.specials = {{"/dev/null", SpecialKind::characterDevice, 1, 3, {7, 0666}},
                     {"/run/pipe", SpecialKind::fifo, 0, 0, {8, 0600}}};
    full.specials[1].metadata.owner = 0;
    full.specials[1].metadata.attributes = {{"user.empty", ""}};
    full.hardLinks = {{1, 0}};
    full.sparseEntries = {1};

    const std::vector<uint8_t> plainBlock = extensionBytes(plain);
    const std::vector<uint8_t> fullBlock = extensionBytes(full);
    // The records of an earlier version come first, unchanged.
    ASSERT_GT(fullBlock.size(), plainBlock.size());
    EXPECT_TRUE(std::equal(plainBlock.begin() + extensionHeadSize, plainBlock.end() - 4,
                           fullBlock.begin() + extensionHeadSize));

    Extension read;
    ASSERT_FALSE(parseExtension(fullBlock.data(), fullBlock.size(), read));
    EXPECT_TRUE(sameExtension(read, full));
    ASSERT_EQ(read.owners.size(), 2u);
    EXPECT_EQ(read.owners[0].user, "root");
    EXPECT_EQ(read.owners[1].uid, 1234u);
    EXPECT_EQ(read.entries[0].owner, 1u);
    EXPECT_EQ(read.entries[1].owner, noOwner);
    EXPECT_EQ(read.folders[1].metadata.owner, 0u);
    EXPECT_EQ(read.links[0].metadata.owner, 1u);
    ASSERT_EQ(read.entries[0].attributes.size(), 2u);
    EXPECT_EQ(read.entries[0].attributes[1].value, std::string("\1\0\0\2", 4));
    ASSERT_EQ(read.specials.size(), 2u);
    EXPECT_EQ(read.specials[0].kind, SpecialKind::characterDevice);
    EXPECT_EQ(read.specials[0].minor, 3u);
    EXPECT_EQ(read.specials[1].metadata.owner, 0u);
    ASSERT_EQ(read.specials[1].metadata.attributes.size(), 1u);
    EXPECT_EQ(read.specials[1].metadata.attributes[0].name, "user.empty");
    ASSERT_EQ(read.hardLinks.size(), 1u);
    EXPECT_EQ(read.hardLinks[0].target, 0u);
    EXPECT_EQ(read.sparseEntries, std::vector<uint32_t>{1});

    // Damage: an owner past the table, a hard link that does not point back, a sparse entry
    // past the entries, attributes for an item that is not there.
    auto damagedBy = [&](auto change) {
        Extension broken = full;
        change(broken);
        std::vector<uint8_t> block = extensionBytes(broken);
        Extension ignored;
        return parseExtension(block.data(), block.size(), ignored).code == ErrorCode::damagedArchive;
    };
    EXPECT_TRUE(damagedBy([](Extension& e) { e.entries[1].owner = 2; }));
    EXPECT_TRUE(damagedBy([](Extension& e) { e.hardLinks[0] = {0, 1}; }));
    EXPECT_TRUE(damagedBy([](Extension& e) { e.hardLinks[0] = {2, 0}; }));
    EXPECT_TRUE(damagedBy([](Extension& e) { e.sparseEntries = {2}; }));
    std::vector<uint8_t> shortOwners = fullBlock;
    // The owner record's count of entries, one too low: it no longer matches the table.
    const uint8_t ownersKind = 4;
    size_t at = extensionHeadSize;
    while (fullBlock[at] != ownersKind) at += 5 + loadU32(fullBlock.data() + at + 1);
    size_t counts = at + 5 + 4;
    for (const Owner& owner : full.owners) counts += 8 + 2 + owner.user.size() + 2 + owner.group.size();
    storeU32(shortOwners.data() + counts, 1);
    reseal(shortOwners);
    EXPECT_EQ(parseExtension(shortOwners.data(), shortOwners.size(), read).code, ErrorCode::damagedArchive);

    // Hard links and special files obey the rules of names and runs against the table.
    std::vector<Entry> entries(2);
    entries[0].name = "/one";
    entries[1].name = "/two";
    EXPECT_EQ(checkExtension(entries, full).detail, "hard link outside its run of equal files");
    entries[0].duplicate = true;
    EXPECT_FALSE(checkExtension(entries, full));
    full.specials[0].name = "/two";
    EXPECT_EQ(checkExtension(entries, full).detail, "name stored twice");
    full.specials[0].name = "/docs/latest/x"; // below a link
    EXPECT_EQ(checkExtension(entries, full).detail, "name below a link record");
}

TEST(Extension, HardLinksAreCheckedInTimeLinearInTheirNumber)
{
    // One run of 100,000 equal files, every later one a hard link of the first: each entry is
    // looked at once, not once per link that spans it.
    const size_t count = 100000;
    Extension extension;
    extension.entries.resize(count);
    for (uint32_t i = 1; i < count; ++i) extension.hardLinks.push_back(HardLink{i, 0});
    const std::string name = "/f";
    size_t lookedAt = 0;
    auto duplicateAt = [&](size_t i) {
        ++lookedAt;
        return i + 1 < count;
    };
    Error verdict = checkRecords(
        count, [&](size_t) -> const std::string& { return name; }, duplicateAt, extension, false);
    EXPECT_FALSE(verdict) << verdict.detail;
    EXPECT_LE(lookedAt, 2 * count);
    // A link that leaves its run is still found.
    auto runOfTwo = [&](size_t i) { return i != count / 2 && i + 1 < count; };
    extension.hardLinks = {HardLink{static_cast<uint32_t>(count / 2 + 1), 0}};
    EXPECT_TRUE(checkRecords(count, [&](size_t) -> const std::string& { return name; }, runOfTwo, extension, false));
}
