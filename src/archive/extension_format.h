#pragma once
// The metadata extension: a byte-aligned block after the archive's closing bytes, which
// readers of the base format never reach. Layout (little-endian):
//
//   magic "QV5m" | version u16 | flags u16 (bit 0: names are UTF-8) | length u64 (the whole
//   block) | records... | CRC-32 u32 of every byte before it
//
// A record is kind u8 | length u32 | payload; kinds this version does not know are skipped,
// so a later version can add some. Kinds: 1 the entries' metadata (count u32, then per entry
// in table order: modified i64 ns, mode u32), 2 a folder (modified i64, mode u32, name
// length u16, name), 3 a link (modified i64, mode u32, what it led to u8, name length u16,
// name, target length u16, target).
#include "qv5/qv5.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv5 {

constexpr char extensionMagic[4] = {'Q', 'V', '5', 'm'};
constexpr uint16_t extensionVersion = 1;
// Header flags above the low byte: the archive has an extension; its offset is not (yet) in
// the header's reserved field and it follows the closing bytes right away.
constexpr uint64_t extensionFlag = 0x100;
constexpr uint64_t extensionFollowsFlag = 0x200;
constexpr size_t extensionHeadSize = 16; // magic, version, flags, length
constexpr uint64_t maxExtensionSize = 1ull << 32;

// The kinds of item that carry metadata, as owner and attribute records name them.
enum ItemKind : uint8_t { entryItem = 0, folderItem = 1, linkItem = 2, specialItem = 3 };

// The metadata of every item, kind by kind, in the order the items are stored:
// visit(kind, index, metadata).
template <class Visit>
void forEachItem(const Extension& extension, Visit visit)
{
    for (size_t i = 0; i < extension.entries.size(); ++i) visit(entryItem, i, extension.entries[i]);
    for (size_t i = 0; i < extension.folders.size(); ++i) visit(folderItem, i, extension.folders[i].metadata);
    for (size_t i = 0; i < extension.links.size(); ++i) visit(linkItem, i, extension.links[i].metadata);
    for (size_t i = 0; i < extension.specials.size(); ++i) visit(specialItem, i, extension.specials[i].metadata);
}

// The block of an extension; with index, its chunk index record too (the extension's own
// chunks are not written).
std::vector<uint8_t> extensionBytes(const Extension& extension, const std::vector<ChunkMark>* index = nullptr);

// Parses a whole block (its length already taken from its head).
Error parseExtension(const uint8_t* bytes, size_t size, Extension& extension);

// The rules of checkExtension over the entries' names; systemRules adds what this system's
// file names refuse (checkName), which a writer does not apply.
Error checkRecords(size_t entryCount, const std::function<const std::string&(size_t)>& entryName,
                   const std::function<bool(size_t)>& duplicateAt, const Extension& extension, bool systemRules);

// An attribute name a system could hold: a namespace (user., trusted., security., system.)
// and something after it. Others are neither written nor read.
bool namespacedAttribute(const std::string& name);

// The length a block's head announces; damaged when the head is not one.
Error extensionLength(const uint8_t* head, uint64_t& length);

} // namespace qv5
