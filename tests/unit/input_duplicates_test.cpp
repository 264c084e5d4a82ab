#include "codec/crc32.h"
#include "input/content_digest.h"
#include "input/duplicate_regroup.h"
#include "input/duplicates.h"
#include "input_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace qv5;

namespace {

uint32_t crcOf(const std::string& bytes)
{
    return crc32Update(0, bytes.data(), bytes.size());
}

// Appends four bytes to prefix so that the CRC-32 of the result is target. The last four
// table indices follow from the target alone (the top byte of every table entry is unique),
// the bytes then from running the register forwards.
std::string withCrc(const std::string& prefix, uint32_t target)
{
    const auto& table = crcTables[0];
    uint32_t indices[4];
    uint32_t r = ~target;
    for (int k = 3; k >= 0; --k) {
        uint32_t i = 0;
        while ((table[i] >> 24) != (r >> 24)) ++i;
        indices[k] = i;
        r = (r ^ table[i]) << 8;
    }
    std::string result = prefix;
    r = ~crcOf(prefix);
    for (uint32_t index : indices) {
        result.push_back(static_cast<char>((index ^ r) & 0xFF));
        r = (r >> 8) ^ table[index];
    }
    return result;
}

class DuplicateFiles : public testing_support::TempFolder {
protected:
    FileEntry entry(const std::string& name, const std::string& bytes)
    {
        FileEntry e;
        e.storedName = "/" + name;
        e.sourcePath = write(name, bytes);
        e.size = static_cast<int64_t>(bytes.size());
        e.crcPresent = 1;
        e.crc = crcOf(bytes);
        return e;
    }

    // Runs findDuplicates; gives "name" or "name*" (marked) per position, and the count marked.
    std::pair<std::vector<std::string>, int64_t> run(std::vector<FileEntry>& entries)
    {
        int64_t count = -1;
        EXPECT_FALSE(findDuplicates(entries, count));
        std::vector<std::string> layout;
        for (const FileEntry& e : entries) layout.push_back(e.storedName.substr(1) + (e.duplicate ? "*" : ""));
        return {layout, count};
    }
};

using Layout = std::vector<std::string>;

} // namespace

TEST_F(DuplicateFiles, CopyFarAwayMovesBehindItsOriginal)
{
    std::vector<FileEntry> entries = {entry("a", "same bytes"), entry("b", "other"),       entry("c", "more"),
                                      entry("d", "yet more"),   entry("a2", "same bytes"), entry("e", "last")};
    auto [layout, marked] = run(entries);
    EXPECT_EQ(layout, (Layout{"a", "a2*", "c", "d", "b", "e"}));
    EXPECT_EQ(marked, 1);
}

TEST_F(DuplicateFiles, ExactlyTwoIdenticalFilesAndASingleOne)
{
    std::vector<FileEntry> entries = {entry("x", "content"), entry("y", "content")};
    auto [layout, marked] = run(entries);
    EXPECT_EQ(layout, (Layout{"x", "y*"}));
    EXPECT_EQ(marked, 1);

    entries.resize(1);
    std::tie(layout, marked) = run(entries);
    EXPECT_EQ(marked, 0);
}

TEST_F(DuplicateFiles, GroupsBecomeRunsEmptyFilesIncluded)
{
    std::vector<FileEntry> entries = {entry("e1", ""),      entry("t1", "three"), entry("x", "unique"),
                                      entry("e2", ""),      entry("t2", "three"), entry("y", "unique too"),
                                      entry("t3", "three"), entry("e3", "")};
    auto [layout, marked] = run(entries);
    // e1 takes e2 then e3 behind it; t1, pushed on, then gathers t2 and t3.
    EXPECT_EQ(layout, (Layout{"e1", "e2*", "e3*", "t1", "t2*", "t3*", "y", "x"}));
    EXPECT_EQ(marked, 4);
    EXPECT_EQ(entries[0].duplicate, 0);
}

TEST_F(DuplicateFiles, EqualSizeAndCrcButDifferentBytesAreKept)
{
    std::string first = "first file, some bytes";
    std::string second = withCrc(std::string(first.size() - 4, 'z'), crcOf(first));
    ASSERT_EQ(first.size(), second.size());
    ASSERT_EQ(crcOf(first), crcOf(second));
    ASSERT_NE(first, second);
    std::vector<FileEntry> entries = {entry("p", first), entry("q", second), entry("r", first)};
    auto [layout, marked] = run(entries);
    EXPECT_EQ(layout, (Layout{"p", "r*", "q"}));
    EXPECT_EQ(marked, 1);
}

TEST_F(DuplicateFiles, UnopenableFileFails)
{
    std::vector<FileEntry> entries = {entry("a", "bytes"), entry("b", "bytes")};
    std::filesystem::remove(entries[1].sourcePath);
    int64_t count = 0;
    InputError failure = findDuplicates(entries, count);
    EXPECT_EQ(failure.kind, InputFailure::openInput);
    EXPECT_EQ(failure.path, entries[1].sourcePath);
}

TEST_F(DuplicateFiles, SameContentReadsInLockstep)
{
    std::vector<uint8_t> bufferA(compareReadSize), bufferB(compareReadSize);
    std::string big(compareReadSize + 1000, 'q');
    std::string bigChanged = big;
    bigChanged.back() = 'r';
    FileEntry a = entry("big", big);
    FileEntry b = entry("big-same", big);
    FileEntry c = entry("big-changed", bigChanged);
    EXPECT_EQ(sameContent(a, b, bufferA.data(), bufferB.data()), ContentMatch::same);
    EXPECT_EQ(sameContent(a, c, bufferA.data(), bufferB.data()), ContentMatch::different);
    // The recorded sizes agree, but one file has grown since: the reads tell them apart.
    FileEntry grown = entry("grown", big + "!");
    grown.size = a.size;
    EXPECT_EQ(sameContent(a, grown, bufferA.data(), bufferB.data()), ContentMatch::different);
    // Different recorded sizes are decided without opening anything.
    FileEntry missing = a;
    missing.sourcePath = (root_ / "missing").string();
    missing.size = 1;
    EXPECT_EQ(sameContent(a, missing, bufferA.data(), bufferB.data()), ContentMatch::different);
}

// Equal bytes give equal digests however they arrive; bytes that differ, forged to the same
// size and CRC-32 or only moved around, give different ones.
TEST_F(DuplicateFiles, DigestTellsContentsApart)
{
    std::mt19937 random(7);
    std::string base(2 * digestBlockSize + 40, '\0');
    for (char& c : base) c = static_cast<char>(random());
    auto digestOf = [](const DigestKey& key, const std::string& bytes) {
        return digestOfBytes(key, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    const DigestKey key = randomDigestKey();
    DigestState state;
    digestBegin(state, key);
    for (size_t at = 0, step = 1; at < base.size(); at += step, step = step * 3 % 1100 + 1) {
        digestUpdate(state, reinterpret_cast<const uint8_t*>(base.data()) + at, std::min(step, base.size() - at));
    }
    const ContentDigest whole = digestEnd(state);
    EXPECT_EQ(digestOf(key, base), whole);
    std::vector<uint8_t> buffer(100);
    ContentDigest fromFile;
    ASSERT_TRUE(digestFile(write("f", base), key, buffer.data(), buffer.size(), fromFile));
    EXPECT_EQ(fromFile, whole);
    EXPECT_FALSE(digestFile((root_ / "missing").string(), key, buffer.data(), buffer.size(), fromFile));
    EXPECT_NE(digestOf(randomDigestKey(), base), whole); // every run draws its own key

    std::vector<std::string> variants = {base, "", std::string(1, '\0'), base + '\0', base.substr(1)};
    for (size_t at : {size_t(0), size_t(1000), digestBlockSize, base.size() - 1}) {
        variants.push_back(base);
        variants.back()[at] ^= 1;
    }
    for (size_t length : {size_t(8), size_t(16), digestBlockSize}) { // two words, pairs, blocks exchanged
        variants.push_back(base);
        std::swap_ranges(variants.back().begin(), variants.back().begin() + length, variants.back().begin() + length);
    }
    for (int k = 0; k < 20; ++k) { // the size and CRC-32 of base
        std::string forged = base.substr(0, base.size() - 4);
        forged[random() % forged.size()] ^= static_cast<char>(1 + random() % 255);
        variants.push_back(withCrc(forged, crcOf(base)));
    }
    std::set<std::pair<uint64_t, uint64_t>> seen;
    for (const std::string& v : variants) {
        ContentDigest d = digestOf(key, v);
        EXPECT_TRUE(seen.insert({d.first, d.second}).second) << "variant " << seen.size();
    }
}

// Many files forged to share size and CRC-32, few real copies: only the copies are compared.
TEST_F(DuplicateFiles, ForgedEqualCrcFilesCostOneComparisonPerCopy)
{
    std::mt19937 random(3);
    std::vector<FileEntry> entries;
    std::vector<std::string> contents;
    for (int k = 0; k < 300; ++k) {
        std::string bytes(60, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        contents.push_back(withCrc(bytes, 0x5EEDC0DE));
        entries.push_back(entry(std::to_string(k) + ".f", contents.back()));
    }
    for (int k = 0; k < 40; ++k) {
        FileEntry copy = entry(std::to_string(k) + ".c", contents[random() % contents.size()]);
        entries.insert(entries.begin() + random() % entries.size(), copy);
    }
    const DigestKey key = randomDigestKey();
    std::vector<uint8_t> bufferA(compareReadSize), bufferB(compareReadSize);
    auto digestOf = [&](const FileEntry& e) -> std::optional<ContentDigest> {
        ContentDigest d;
        if (!digestFile(e.sourcePath, key, bufferA.data(), compareReadSize, d)) return std::nullopt;
        return d;
    };
    int comparisons = 0;
    int64_t marked = detail::regroupDuplicates(entries, digestOf, [&](const FileEntry& a, const FileEntry& b) {
        ++comparisons;
        return sameContent(a, b, bufferA.data(), bufferB.data());
    });
    EXPECT_EQ(marked, 40);
    EXPECT_EQ(comparisons, 40);
}

// The regrouping visits only entries of equal size and CRC-32; it must still give exactly
// what the plain double loop over all pairs gives, comparison for comparison.
namespace {

template <class Same>
int64_t plainDoubleLoop(std::vector<FileEntry>& e, Same&& same)
{
    int64_t count = 0;
    const size_t n = e.size();
    for (size_t i = 0; i + 1 < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (e[j].size != e[i].size || e[j].crc != e[i].crc) continue;
            ContentMatch match = same(e[i], e[j]);
            if (match == ContentMatch::failed) return -1;
            if (match != ContentMatch::same) continue;
            e[j].duplicate = 1;
            if (j != i + 1) std::swap(e[i + 1], e[j]);
            ++count;
            break;
        }
    }
    return count;
}

// Made-up entries: storedName identifies the entry, sourcePath stands for its contents.
// Equal contents always come with equal size and CRC-32; equal size and CRC-32 need not
// mean equal contents. A sourcePath ending in '!' cannot be opened; one ending in '?' has a
// read error that only a comparison with an equal file reaches (different files part
// earlier). Neither can be digested.
struct FakeContent {
    int key;
    int variant;
};

std::vector<FileEntry> fakeEntries(const std::vector<FakeContent>& contents)
{
    std::vector<FileEntry> entries(contents.size());
    for (size_t k = 0; k < contents.size(); ++k) {
        entries[k].storedName = std::string("e") + std::to_string(k);
        entries[k].sourcePath = std::to_string(contents[k].key) + "/" + std::to_string(contents[k].variant);
        entries[k].size = contents[k].key % 3;                       // few distinct sizes
        entries[k].crc = static_cast<uint32_t>(contents[k].key / 3); // and few CRCs
    }
    return entries;
}

char troubleOf(const FileEntry& e)
{
    char last = e.sourcePath.back();
    return last == '!' || last == '?' ? last : 0;
}

std::string contentOf(const FileEntry& e)
{
    return e.sourcePath.substr(0, e.sourcePath.size() - (troubleOf(e) ? 1 : 0));
}

using Pair = std::pair<std::string, std::string>;

struct Outcome {
    int64_t count;
    std::vector<std::pair<std::string, int>> layout;
    std::vector<Pair> comparisons;
    std::vector<std::string> digested;
};

// Runs one of the two algorithms; the comparison of the pair failing fails. With
// digestsCollide, different contents often share a digest.
template <class Algorithm>
Outcome runFake(std::vector<FileEntry> entries, Algorithm algorithm, const Pair& failing, bool digestsCollide)
{
    Outcome outcome;
    auto digestOf = [&](const FileEntry& e) -> std::optional<ContentDigest> {
        outcome.digested.push_back(e.storedName);
        if (troubleOf(e)) return std::nullopt;
        uint64_t h = std::hash<std::string>{}(contentOf(e));
        return ContentDigest{digestsCollide ? h % 2 : h, 7};
    };
    outcome.count = algorithm(entries, digestOf, [&](const FileEntry& a, const FileEntry& b) {
        outcome.comparisons.emplace_back(a.storedName, b.storedName);
        bool equal = contentOf(a) == contentOf(b);
        if (outcome.comparisons.back() == failing) return ContentMatch::failed;
        if (troubleOf(a) == '!' || troubleOf(b) == '!') return ContentMatch::failed;
        if (equal && (troubleOf(a) || troubleOf(b))) return ContentMatch::failed;
        return equal ? ContentMatch::same : ContentMatch::different;
    });
    for (const FileEntry& e : entries) outcome.layout.emplace_back(e.storedName, e.duplicate);
    return outcome;
}

std::vector<FakeContent> randomContents(std::mt19937& random, int pattern)
{
    auto pick = [&](int below) { return static_cast<int>(random() % static_cast<uint32_t>(below)); };
    std::vector<FakeContent> contents;
    switch (pattern) {
    case 0: { // everything mixed: few keys, up to three contents per key
        int n = 2 + pick(60), keys = 1 + pick(8), variants = 1 + pick(3);
        for (int k = 0; k < n; ++k) contents.push_back({pick(keys), pick(variants)});
        break;
    }
    case 1: { // mostly unique files, a few copies far apart
        int n = 2 + pick(pick(10) == 0 ? 2000 : 200);
        for (int k = 0; k < n; ++k) contents.push_back({1000 + k, 0});
        int copies = 1 + pick(6);
        for (int c = 0; c < copies; ++c) {
            FakeContent copied = contents[pick(n)];
            contents[pick(n)] = pick(4) == 0 ? FakeContent{copied.key, 1} : copied;
        }
        break;
    }
    case 2: { // groups interleaved: ABCABC..., with the odd different content of a key
        int n = 2 + pick(60), groups = 1 + pick(4);
        for (int k = 0; k < n; ++k) contents.push_back({k % groups, pick(5) == 0 ? 1 : 0});
        break;
    }
    default: { // one size and CRC for all, several contents
        int n = 2 + pick(40), variants = 1 + pick(5);
        for (int k = 0; k < n; ++k) contents.push_back({7, pick(variants)});
        break;
    }
    }
    return contents;
}

} // namespace

// Against the plain loop, the regrouping may only leave out the comparisons of entries whose
// digests differ, in classes where every member was digested; it digests exactly the entries
// that share size and CRC-32 with another, once each.
TEST(RegroupDuplicates, GivesExactlyWhatThePlainDoubleLoopGives)
{
    auto plain = [](std::vector<FileEntry>& e, auto, auto same) { return plainDoubleLoop(e, same); };
    auto grouped = [](std::vector<FileEntry>& e, auto digestOf, auto same) {
        return detail::regroupDuplicates(e, digestOf, same);
    };
    std::mt19937 random(20240611);
    int withCopies = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<FileEntry> entries = fakeEntries(randomContents(random, round % 4));
        if (round % 3 == 2) {
            for (int k = 1 + random() % 2; k > 0; --k) {
                entries[random() % entries.size()].sourcePath += "!?"[random() % 2];
            }
        }
        const bool digestsCollide = round % 5 == 0;
        auto key = [](const FileEntry& e) { return std::make_pair(e.size, e.crc); };
        std::map<std::pair<int64_t, uint32_t>, int> members, troubled;
        std::map<std::string, FileEntry> byName;
        for (const FileEntry& e : entries) {
            ++members[key(e)];
            troubled[key(e)] += troubleOf(e) != 0;
            byName[e.storedName] = e;
        }
        std::vector<std::string> shared;
        for (const FileEntry& e : entries) {
            if (members[key(e)] > 1) shared.push_back(e.storedName);
        }
        auto digestsTellApart = [&](const Pair& pair) {
            const FileEntry& a = byName[pair.first];
            const FileEntry& b = byName[pair.second];
            uint64_t h = std::hash<std::string>{}(contentOf(a)) ^ std::hash<std::string>{}(contentOf(b));
            return troubled[key(a)] == 0 && h != 0 && (!digestsCollide || h % 2 != 0);
        };
        auto check = [&](const Pair& failing) {
            Outcome expected = runFake(entries, plain, failing, digestsCollide);
            Outcome actual = runFake(entries, grouped, failing, digestsCollide);
            EXPECT_EQ(actual.count, expected.count);
            EXPECT_EQ(actual.layout, expected.layout);
            std::erase_if(expected.comparisons, digestsTellApart);
            EXPECT_EQ(actual.comparisons, expected.comparisons);
            std::sort(actual.digested.begin(), actual.digested.end());
            std::sort(shared.begin(), shared.end());
            EXPECT_EQ(actual.digested, shared);
            return actual;
        };
        Outcome actual = check(Pair{});
        ASSERT_FALSE(testing::Test::HasFailure()) << "round " << round;
        withCopies += actual.count > 0;
        // A failing comparison stops both at the same place.
        if (!actual.comparisons.empty()) {
            check(actual.comparisons[random() % actual.comparisons.size()]);
            ASSERT_FALSE(testing::Test::HasFailure()) << "round " << round << ", failing";
        }
    }
    EXPECT_GT(withCopies, 1500);
}
