// The recovery block: writing it, finding and checking it, and repairing what it protects.
//
// Layout after the protected bytes (P of them): description A, table A, the parity slices,
// description B, table B, and description C as the trailer, the file's last 64 bytes. A
// description is 64 bytes; a table is the CRC-32 of every data slice, then of every parity
// slice. Copy B stands before table B so that damage at the very end of the file (the
// trailer) leaves a description that a short search backwards finds.
#include "qv5/qv5.h"

#include "archive/repaired_view.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"
#include "codec/erasure_code.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace qv5 {

namespace {

constexpr uint8_t descriptionMagic[4] = {'Q', 'V', '5', 'r'};
constexpr size_t descriptionBytes = 64;
constexpr uint16_t recoveryVersion = 1;
constexpr uint64_t targetDataSlices = 16384; // slices enough for damage in many places
constexpr uint64_t minSliceSize = 1024;      // keeps the tables small beside small archives
// How far back from the end t and d look for copy B: table B at its largest and two copies.
constexpr uint64_t tailSearchBytes = 3 * descriptionBytes + 4 * (targetDataSlices + targetDataSlices / 2 + 1);
// How far after the end of a stream's last bit its closing bytes may reach: where copy A stands.
constexpr uint64_t closingSearchBytes = 24;
// What a repair transforms at once: the code's domain times a stripe of every slice.
constexpr uint64_t repairWorkBytes = 128ull << 20;

struct Description {
    RecoveryLayout layout;
    uint32_t tableCrc = 0;
};

uint64_t tableBytes(const RecoveryLayout& layout)
{
    return 4ull * (uint64_t(layout.dataSlices) + layout.paritySlices);
}

uint64_t parityStart(const RecoveryLayout& layout)
{
    return layout.protectedBytes + descriptionBytes + tableBytes(layout);
}

uint64_t copyBAt(const RecoveryLayout& layout)
{
    return parityStart(layout) + uint64_t(layout.paritySlices) * layout.sliceSize;
}

uint64_t blockBytesOf(const RecoveryLayout& layout)
{
    return 3 * descriptionBytes + 2 * tableBytes(layout) + uint64_t(layout.paritySlices) * layout.sliceSize;
}

void putDescription(const Description& d, uint8_t* out)
{
    std::memset(out, 0, descriptionBytes);
    std::memcpy(out, descriptionMagic, 4);
    out[4] = recoveryVersion;
    out[6] = descriptionBytes;
    storeU64(out + 8, d.layout.protectedBytes);
    storeU32(out + 16, d.layout.sliceSize);
    storeU32(out + 20, d.layout.dataSlices);
    storeU32(out + 24, d.layout.paritySlices);
    storeU32(out + 28, d.tableCrc);
    storeU64(out + 32, d.layout.blockBytes);
    out[40] = static_cast<uint8_t>(d.layout.percent);
    storeU32(out + 60, crc32Update(0, out, 60));
}

// A description whose every field is consistent; false for anything else.
bool parseDescription(const uint8_t* in, Description& d)
{
    if (std::memcmp(in, descriptionMagic, 4) != 0 || loadU32(in + 60) != crc32Update(0, in, 60)) return false;
    if ((in[4] | in[5] << 8) != recoveryVersion || (in[6] | in[7] << 8) != descriptionBytes) return false;
    RecoveryLayout& layout = d.layout;
    layout.protectedBytes = loadU64(in + 8);
    layout.sliceSize = loadU32(in + 16);
    layout.dataSlices = loadU32(in + 20);
    layout.paritySlices = loadU32(in + 24);
    d.tableCrc = loadU32(in + 28);
    layout.blockBytes = loadU64(in + 32);
    layout.percent = in[40];
    if (layout.sliceSize == 0 || layout.sliceSize % erasureGroupBytes != 0) return false;
    if (!erasureCodeFits(layout.dataSlices, layout.paritySlices)) return false;
    // The slices cover the protected bytes exactly, and nothing overflows.
    const uint64_t covered = uint64_t(layout.dataSlices) * layout.sliceSize;
    if (layout.protectedBytes == 0 || covered < layout.protectedBytes ||
        covered - layout.protectedBytes >= layout.sliceSize) {
        return false;
    }
    if (layout.protectedBytes > (uint64_t(1) << 62) || blockBytesOf(layout) != layout.blockBytes) return false;
    return true;
}

uint64_t dataSliceLength(const RecoveryLayout& layout, uint32_t i)
{
    return std::min<uint64_t>(layout.sliceSize, layout.protectedBytes - uint64_t(i) * layout.sliceSize);
}

Error unreadable()
{
    return Error(ErrorCode::damagedArchive, "", "the file cannot be read");
}

// Copy of the description at offset at (A, B or C) of a block that ends where the file does.
struct Found {
    bool valid = false;
    Description description;
    std::vector<uint8_t> bytes;
};

bool placedAt(const Description& d, uint64_t at)
{
    const RecoveryLayout& l = d.layout;
    return at == l.protectedBytes || at == copyBAt(l) || at == l.protectedBytes + l.blockBytes - descriptionBytes;
}

// Looks for a valid description placed where its own fields put it, in bytes read from
// offset base. Prefers one that fits the file's length.
void searchDescriptions(const uint8_t* bytes, size_t count, uint64_t base, uint64_t fileSize, Found& found)
{
    for (size_t i = 0; i + descriptionBytes <= count; ++i) {
        const void* hit = std::memchr(bytes + i, descriptionMagic[0], count - descriptionBytes + 1 - i);
        if (!hit) return;
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes);
        Description d;
        if (!parseDescription(bytes + i, d) || !placedAt(d, base + i)) continue;
        const bool fits = d.layout.protectedBytes + d.layout.blockBytes == fileSize;
        if (found.valid && !fits) continue;
        found.valid = true;
        found.description = d;
        found.bytes.assign(bytes + i, bytes + i + descriptionBytes);
        if (fits) return;
    }
}

// archiveEnd: where a reader found the archive's bytes to end (0: not known); when given,
// copy A is looked for there only.
Error locate(const RandomReader& source, uint64_t fileSize, bool fullScan, uint64_t archiveEnd, Found& found)
{
    if (archiveEnd > 0) {
        if (archiveEnd >= fileSize) return Error();
        std::vector<uint8_t> bytes(
            static_cast<size_t>(std::min(fileSize - archiveEnd, closingSearchBytes + descriptionBytes)));
        if (!source(archiveEnd, bytes.data(), bytes.size())) return unreadable();
        searchDescriptions(bytes.data(), bytes.size(), archiveEnd, fileSize, found);
        return Error();
    }
    uint8_t trailer[descriptionBytes];
    if (fileSize >= descriptionBytes) {
        if (!source(fileSize - descriptionBytes, trailer, descriptionBytes)) return unreadable();
        Description d;
        if (parseDescription(trailer, d) && d.layout.protectedBytes + d.layout.blockBytes == fileSize) {
            found.valid = true;
            found.description = d;
            found.bytes.assign(trailer, trailer + descriptionBytes);
            return Error();
        }
    }
    // Copy B, a little before the end.
    const uint64_t tail = std::min(fileSize, tailSearchBytes);
    std::vector<uint8_t> bytes(static_cast<size_t>(tail));
    if (tail > 0 && !source(fileSize - tail, bytes.data(), bytes.size())) return unreadable();
    searchDescriptions(bytes.data(), bytes.size(), fileSize - tail, fileSize, found);
    if (found.valid || !fullScan) return Error();
    // Copy A: anywhere. Read in overlapping pieces so that no copy falls between two.
    const uint64_t piece = 8ull << 20;
    bytes.resize(static_cast<size_t>(piece + descriptionBytes));
    for (uint64_t at = 0; at < fileSize; at += piece) {
        const uint64_t count = std::min<uint64_t>(piece + descriptionBytes, fileSize - at);
        if (!source(at, bytes.data(), static_cast<size_t>(count))) return unreadable();
        searchDescriptions(bytes.data(), static_cast<size_t>(count), at, fileSize, found);
        if (found.valid && found.description.layout.protectedBytes + found.description.layout.blockBytes == fileSize) {
            break;
        }
    }
    return Error();
}

// A table copy read at offset at; valid when its CRC-32 is the description's.
Error readTable(const RandomReader& source, uint64_t at, const Description& d, std::vector<uint32_t>& table,
                bool& valid)
{
    const uint64_t count = tableBytes(d.layout);
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    if (!source(at, bytes.data(), bytes.size())) return unreadable();
    valid = crc32Update(0, bytes.data(), bytes.size()) == d.tableCrc;
    table.resize(static_cast<size_t>(count / 4));
    for (size_t i = 0; i < table.size(); ++i) table[i] = loadU32(bytes.data() + 4 * i);
    return Error();
}

// Whether this program plans the layout for its protected bytes and percentage: what a file
// cut short is trusted with (a description could claim any length).
bool plannedLayout(const RecoveryLayout& layout)
{
    if (layout.percent < 1 || layout.percent > maxProtectPercent) return false;
    const RecoveryLayout planned = planRecovery(layout.protectedBytes, layout.percent);
    return planned.sliceSize == layout.sliceSize && planned.dataSlices == layout.dataSlices &&
           planned.paritySlices == layout.paritySlices && planned.blockBytes == layout.blockBytes;
}

uint64_t sliceAt(const RecoveryLayout& layout, uint32_t i)
{
    return i < layout.dataSlices ? uint64_t(i) * layout.sliceSize
                                 : parityStart(layout) + uint64_t(i - layout.dataSlices) * layout.sliceSize;
}

uint64_t sliceLength(const RecoveryLayout& layout, uint32_t i)
{
    return i < layout.dataSlices ? dataSliceLength(layout, i) : layout.sliceSize;
}

} // namespace

RandomReader fileReader(FILE* file)
{
    return [file](uint64_t at, uint8_t* bytes, size_t count) {
        if (seekFile(file, static_cast<int64_t>(at), SEEK_SET) != 0) return false; // the reason kept
        if (std::fread(bytes, 1, count, file) == count) return true;
        if (std::ferror(file)) noteStreamFailure(); // a short read without one is the file's end
        return false;
    };
}

RandomReader memoryReader(const uint8_t* data, size_t size)
{
    return [data, size](uint64_t at, uint8_t* bytes, size_t count) {
        if (at > size || count > size - at) return false;
        if (count > 0) std::memcpy(bytes, data + at, count);
        return true;
    };
}

RecoveryLayout planRecovery(uint64_t protectedBytes, int percent)
{
    RecoveryLayout layout;
    layout.protectedBytes = protectedBytes;
    layout.percent = percent;
    uint64_t slice = (protectedBytes + targetDataSlices - 1) / targetDataSlices;
    slice = std::max(minSliceSize, (slice + erasureGroupBytes - 1) / erasureGroupBytes * erasureGroupBytes);
    layout.sliceSize = static_cast<uint32_t>(slice);
    layout.dataSlices = static_cast<uint32_t>((protectedBytes + slice - 1) / slice);
    layout.paritySlices = static_cast<uint32_t>((uint64_t(layout.dataSlices) * percent + 99) / 100);
    layout.blockBytes = blockBytesOf(layout);
    return layout;
}

Error writeRecovery(const RandomReader& source, const RecoveryLayout& layout, const ByteWriter& output)
{
    const size_t width = layout.sliceSize;
    std::vector<uint8_t> table(static_cast<size_t>(tableBytes(layout)));
    ParityEncoder encoder;
    startParity(encoder, layout.paritySlices, width);
    for (uint32_t i = 0; i < layout.dataSlices; ++i) {
        uint8_t* slice = nextDataSlice(encoder);
        const size_t length = static_cast<size_t>(dataSliceLength(layout, i));
        if (!source(uint64_t(i) * width, slice, length)) return unreadable();
        std::memset(slice + length, 0, width - length);
        storeU32(table.data() + 4 * size_t(i), crc32Update(0, slice, length));
    }
    finishParity(encoder);
    for (uint32_t j = 0; j < layout.paritySlices; ++j) {
        storeU32(table.data() + 4 * (size_t(layout.dataSlices) + j),
                 crc32Update(0, encoder.sum.data() + size_t(j) * width, width));
    }
    Description d;
    d.layout = layout;
    d.tableCrc = crc32Update(0, table.data(), table.size());
    uint8_t description[descriptionBytes];
    putDescription(d, description);
    const bool ok = output(description, descriptionBytes) && output(table.data(), table.size()) &&
                    output(encoder.sum.data(), size_t(layout.paritySlices) * width) &&
                    output(description, descriptionBytes) && output(table.data(), table.size()) &&
                    output(description, descriptionBytes);
    return ok ? Error() : Error(ErrorCode::writeArchive, "", "", false);
}

namespace {

// Checks every copy and every slice of the block a description was found for.
Error checkFound(const RandomReader& source, uint64_t fileSize, const Found& found, RecoveryCheck& check)
{
    const Description& d = found.description;
    const RecoveryLayout& layout = d.layout;
    check.layout = layout;
    check.description = found.bytes;
    const uint64_t written = layout.protectedBytes + layout.blockBytes;
    if (written < fileSize || (written > fileSize && !plannedLayout(layout))) {
        check.state = RecoveryState::lengthMismatch;
        return Error();
    }
    // A file cut short: what it no longer holds reads as zeros, and is found damaged as such.
    check.missingBytes = written - fileSize;
    const RandomReader held = [&](uint64_t at, uint8_t* bytes, size_t count) {
        const size_t have = at >= fileSize ? 0 : static_cast<size_t>(std::min<uint64_t>(count, fileSize - at));
        std::memset(bytes + have, 0, count - have);
        return have == 0 || source(at, bytes, have);
    };
    // Every copy of the description, and both tables.
    uint8_t copy[descriptionBytes];
    for (uint64_t at : {layout.protectedBytes, copyBAt(layout), written - descriptionBytes}) {
        if (!held(at, copy, descriptionBytes)) return unreadable();
        if (std::memcmp(copy, found.bytes.data(), descriptionBytes) != 0) check.copyDamaged = true;
    }
    std::vector<uint32_t> tableA, tableB;
    bool validA = false, validB = false;
    if (Error failure = readTable(held, layout.protectedBytes + descriptionBytes, d, tableA, validA)) return failure;
    if (Error failure = readTable(held, copyBAt(layout) + descriptionBytes, d, tableB, validB)) return failure;
    if (!validA || !validB) check.copyDamaged = true;
    // A slice is intact when its CRC-32 is the one a valid table holds; with no valid table,
    // the one either copy holds (a damaged entry then costs one slice).
    const uint32_t total = layout.dataSlices + layout.paritySlices;
    check.damaged.assign(total, false);
    // Read in pieces: a description may claim slices of up to 4 GiB.
    std::vector<uint8_t> piece(std::min<size_t>(layout.sliceSize, size_t(1) << 20));
    std::vector<uint32_t>& crcs = check.sliceCrcs;
    crcs.assign(total, 0);
    for (uint32_t i = 0; i < total; ++i) {
        const uint64_t at = sliceAt(layout, i), length = sliceLength(layout, i);
        uint32_t crc = 0;
        for (uint64_t from = 0; from < length; from += piece.size()) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), length - from));
            if (!held(at + from, piece.data(), count)) return unreadable();
            crc = crc32Update(crc, piece.data(), count);
        }
        crcs[i] = crc;
    }
    // With neither table copy whole, the slices' own checksums may still make up the table
    // the description vouches for: then every slice is intact.
    if (!validA && !validB) {
        std::vector<uint8_t> bytes(4 * size_t(total));
        for (uint32_t i = 0; i < total; ++i) storeU32(bytes.data() + 4 * size_t(i), crcs[i]);
        if (crc32Update(0, bytes.data(), bytes.size()) == d.tableCrc) {
            tableA = crcs;
            validA = true;
        }
    }
    for (uint32_t i = 0; i < total; ++i) {
        const bool data = i < layout.dataSlices;
        const uint32_t crc = crcs[i];
        const bool good = (validA && crc == tableA[i]) || (validB && crc == tableB[i]) ||
                          (!validA && !validB && (crc == tableA[i] || crc == tableB[i]));
        if (good) continue;
        check.damaged[i] = true;
        ++(data ? check.damagedData : check.damagedParity);
    }
    check.table = validA ? tableA : tableB;
    check.tableKnown = validA || validB;
    const uint32_t damaged = check.damagedData + check.damagedParity;
    if (damaged == 0) {
        check.state = RecoveryState::intact;
    } else {
        check.state = damaged <= layout.paritySlices ? RecoveryState::repairable : RecoveryState::beyondRepair;
    }
    return Error();
}

Error checkIn(const RandomReader& source, uint64_t fileSize, bool fullScan, uint64_t archiveEnd, RecoveryCheck& check)
{
    check = RecoveryCheck();
    Found found;
    if (Error failure = locate(source, fileSize, fullScan, archiveEnd, found)) return failure;
    if (!found.valid) return Error();
    return checkFound(source, fileSize, found, check);
}

bool checkComplete(const RecoveryCheck& check)
{
    const uint64_t total = uint64_t(check.layout.dataSlices) + check.layout.paritySlices;
    return check.damaged.size() == total && check.sliceCrcs.size() == total &&
           check.description.size() == descriptionBytes;
}

// The damaged slices rebuilt from the others, and every slice's CRC-32 after.
struct Rebuilt {
    std::map<uint32_t, std::vector<uint8_t>> kept; // the bytes of the rebuilt slices asked for
    std::vector<uint32_t> crcs;
};

// Rebuilds in stripes of every slice, so that the work fits in memory whatever the size; the
// bytes of the damaged data slices are kept, and of the parity slices with keepParity.
Error rebuildDamaged(const RandomReader& source, const RecoveryCheck& check, bool keepParity, Rebuilt& rebuilt)
{
    const RecoveryLayout& layout = check.layout;
    const uint32_t k = layout.dataSlices, m = layout.paritySlices, total = k + m;
    const size_t width = layout.sliceSize;
    rebuilt.crcs = check.sliceCrcs;
    std::vector<uint32_t> damaged;
    for (uint32_t i = 0; i < total; ++i) {
        if (!check.damaged[i]) continue;
        damaged.push_back(i);
        rebuilt.crcs[i] = 0;
        if (i < k || keepParity) rebuilt.kept[i].assign(width, 0);
    }
    if (damaged.empty()) return Error();
    uint64_t domain = 1;
    while (domain < parityBlockSize(m) + uint64_t(k)) domain <<= 1;
    size_t stripe = static_cast<size_t>(repairWorkBytes / domain) / erasureGroupBytes * erasureGroupBytes;
    stripe = std::clamp<size_t>(stripe, erasureGroupBytes, width);
    std::vector<uint8_t> pieces(size_t(total) * stripe);
    std::vector<uint8_t*> slices(total);
    std::vector<bool> erased(total);
    // The code's order: parity first.
    auto position = [&](uint32_t i) { return i < k ? m + i : i - k; };
    for (uint32_t i = 0; i < total; ++i) {
        slices[position(i)] = pieces.data() + size_t(position(i)) * stripe;
        erased[position(i)] = check.damaged[i];
    }
    for (size_t from = 0; from < width; from += stripe) {
        const size_t count = std::min(stripe, width - from);
        for (uint32_t i = 0; i < total; ++i) {
            uint8_t* piece = slices[position(i)];
            std::memset(piece, 0, stripe);
            const size_t length = static_cast<size_t>(sliceLength(layout, i));
            if (check.damaged[i] || from >= length) continue;
            if (!source(sliceAt(layout, i) + from, piece, std::min(count, length - from))) return unreadable();
        }
        if (!rebuildSlices(k, m, stripe, slices.data(), erased)) {
            return Error(ErrorCode::damagedArchive, "", "more damaged slices than parity slices");
        }
        for (uint32_t i : damaged) {
            const uint8_t* piece = slices[position(i)];
            const size_t length = static_cast<size_t>(sliceLength(layout, i));
            if (from < length) rebuilt.crcs[i] = crc32Update(rebuilt.crcs[i], piece, std::min(count, length - from));
            auto kept = rebuilt.kept.find(i);
            if (kept != rebuilt.kept.end()) std::memcpy(kept->second.data() + from, piece, count);
        }
    }
    return Error();
}

// The slice table of the slices' CRC-32s, checked: each rebuilt slice's against the table
// when it is known, and the whole table against the description's CRC-32 of it.
Error checkedTable(const RecoveryCheck& check, const std::vector<uint32_t>& crcs, std::vector<uint8_t>& table)
{
    table.assign(crcs.size() * 4, 0);
    for (size_t i = 0; i < crcs.size(); ++i) {
        if (check.tableKnown && check.damaged[i] && crcs[i] != check.table[i]) {
            return Error(ErrorCode::damagedArchive, "", "a rebuilt slice does not match its checksum");
        }
        storeU32(table.data() + 4 * i, crcs[i]);
    }
    Description d;
    parseDescription(check.description.data(), d);
    if (crc32Update(0, table.data(), table.size()) != d.tableCrc) {
        return Error(ErrorCode::damagedArchive, "", "the repaired slices do not match the slice table");
    }
    return Error();
}

} // namespace

Error checkRecovery(const RandomReader& source, uint64_t fileSize, bool fullScan, RecoveryCheck& check)
{
    return checkIn(source, fileSize, fullScan, 0, check);
}

Error checkRecoveryAfter(const RandomReader& source, uint64_t fileSize, uint64_t archiveEnd, RecoveryCheck& check)
{
    return checkIn(source, fileSize, false, archiveEnd, check);
}

Error repairArchive(const RandomReader& source, const RecoveryCheck& check, const ByteWriter& output)
{
    const RecoveryLayout& layout = check.layout;
    const uint32_t k = layout.dataSlices, total = k + layout.paritySlices;
    if (!checkComplete(check)) return Error(ErrorCode::damagedArchive, "", "no recovery block to repair from");
    Rebuilt rebuilt;
    if (Error failure = rebuildDamaged(source, check, true, rebuilt)) return failure;
    std::vector<uint8_t> table;
    if (Error failure = checkedTable(check, rebuilt.crcs, table)) return failure;
    // A slice read again from the archive: a read that fails is the archive's failure, not
    // the output's.
    std::vector<uint8_t> slice(layout.sliceSize);
    auto writeSlice = [&](uint32_t i) {
        const size_t length = static_cast<size_t>(sliceLength(layout, i));
        auto it = rebuilt.kept.find(i);
        const uint8_t* bytes = slice.data();
        if (it != rebuilt.kept.end()) {
            bytes = it->second.data();
        } else if (!source(sliceAt(layout, i), slice.data(), length)) {
            return unreadable();
        }
        return output(bytes, length) ? Error() : Error(ErrorCode::writeArchive);
    };
    const uint8_t* description = check.description.data();
    for (uint32_t i = 0; i < k; ++i) {
        if (Error failure = writeSlice(i)) return failure;
    }
    if (!output(description, descriptionBytes) || !output(table.data(), table.size())) {
        return Error(ErrorCode::writeArchive);
    }
    for (uint32_t i = k; i < total; ++i) {
        if (Error failure = writeSlice(i)) return failure;
    }
    const bool ok = output(description, descriptionBytes) && output(table.data(), table.size()) &&
                    output(description, descriptionBytes);
    return ok ? Error() : Error(ErrorCode::writeArchive);
}

void RepairedViewDeleter::operator()(RepairedView* view) const
{
    delete view;
}

Error repairedView(const RandomReader& source, const RecoveryCheck& check, RepairedViewPtr& view)
{
    view.reset();
    if (!checkComplete(check)) return Error(ErrorCode::damagedArchive, "", "no recovery block to repair from");
    Rebuilt rebuilt;
    if (Error failure = rebuildDamaged(source, check, false, rebuilt)) return failure;
    std::vector<uint8_t> table;
    if (Error failure = checkedTable(check, rebuilt.crcs, table)) return failure;
    RepairedViewPtr made(new RepairedView);
    const RecoveryLayout& layout = check.layout;
    made->size = layout.protectedBytes + layout.blockBytes;
    made->protectedBytes = layout.protectedBytes;
    made->sliceSize = layout.sliceSize;
    for (auto& [i, bytes] : rebuilt.kept) { // in order of their numbers
        made->slices.push_back(i);
        made->rebuilt.push_back(std::move(bytes));
    }
    view = std::move(made);
    return Error();
}

size_t readRepaired(const RepairedView& view, FILE* file, uint64_t offset, uint8_t* bytes, size_t count, bool& failed)
{
    if (offset >= view.size) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, view.size - offset));
    bool readFailed = false;
    const size_t got = readFileAt(file, offset, bytes, count, readFailed);
    if (readFailed) {
        failed = true;
        return got;
    }
    std::memset(bytes + got, 0, count - got); // past the end of a file cut short
    // The rebuilt slices that overlap the range, over the file's bytes.
    const uint64_t width = view.sliceSize, end = offset + count;
    auto it = std::lower_bound(view.slices.begin(), view.slices.end(), static_cast<uint32_t>(offset / width));
    for (; it != view.slices.end() && uint64_t(*it) * width < end; ++it) {
        const uint64_t sliceStart = uint64_t(*it) * width;
        const uint64_t sliceEnd = std::min(sliceStart + width, view.protectedBytes);
        const uint64_t from = std::max(sliceStart, offset), to = std::min(sliceEnd, end);
        if (from >= to) continue;
        const std::vector<uint8_t>& slice = view.rebuilt[static_cast<size_t>(it - view.slices.begin())];
        std::memcpy(bytes + (from - offset), slice.data() + (from - sliceStart), static_cast<size_t>(to - from));
    }
    return count;
}

} // namespace qv5
