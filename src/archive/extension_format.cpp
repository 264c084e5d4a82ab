#include "archive/extension_format.h"

#include "archive/archive_format.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"

#include <cstring>

namespace qv5 {

namespace {

enum RecordKind : uint8_t {
    entriesRecord = 1,
    folderRecord = 2,
    linkRecord = 3,
    ownersRecord = 4,
    hardLinksRecord = 5,
    specialRecord = 6,
    sparseRecord = 7,
    attributesRecord = 8,
    chunkIndexRecord = 9,
};

// What an owner index or an attribute record refers to.

struct Out {
    std::vector<uint8_t> bytes;
    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { put(&v, 2); }
    void u32(uint32_t v) { put(&v, 4); }
    void u64(uint64_t v) { put(&v, 8); }
    void text(const std::string& s)
    {
        u16(static_cast<uint16_t>(s.size()));
        append(s.data(), s.size());
    }
    template <class T>
    void put(const T* v, size_t n)
    {
        uint64_t value = static_cast<uint64_t>(*v);
        for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    void append(const void* data, size_t n)
    {
        const size_t at = bytes.size();
        bytes.resize(at + n);
        if (n > 0) std::memcpy(bytes.data() + at, data, n);
    }
    // A record: its kind, then its payload's length once the payload is written.
    size_t begin(uint8_t kind)
    {
        u8(kind);
        u32(0);
        return bytes.size();
    }
    void end(size_t start) { storeU32(bytes.data() + start - 4, static_cast<uint32_t>(bytes.size() - start)); }
};

struct In {
    const uint8_t* at;
    const uint8_t* end;
    bool ok = true;
    bool take(size_t n) { return ok = ok && static_cast<size_t>(end - at) >= n; }
    size_t left() const { return static_cast<size_t>(end - at); }
    uint64_t le(size_t n)
    {
        if (!take(n)) return 0;
        uint64_t v = 0;
        for (size_t i = n; i-- > 0;) v = (v << 8) | at[i];
        at += n;
        return v;
    }
    std::string text(size_t lengthBytes = 2)
    {
        size_t n = le(lengthBytes);
        if (!take(n)) return std::string();
        std::string s(reinterpret_cast<const char*>(at), n);
        at += n;
        return s;
    }
    Metadata metadata()
    {
        Metadata m;
        m.modifiedNs = static_cast<int64_t>(le(8));
        m.mode = static_cast<uint32_t>(le(4));
        return m;
    }
};

void putMetadata(Out& out, const Metadata& m)
{
    out.u64(static_cast<uint64_t>(m.modifiedNs));
    out.u32(m.mode);
}

// The records that only Linux writes: owners, hard links, sparse files, attributes. An
// extension without them is byte for byte what earlier versions wrote.
void putLinuxRecords(Out& out, const Extension& extension)
{
    if (!extension.owners.empty()) {
        size_t record = out.begin(ownersRecord);
        out.u32(static_cast<uint32_t>(extension.owners.size()));
        for (const Owner& owner : extension.owners) {
            out.u32(owner.uid);
            out.u32(owner.gid);
            out.text(owner.user);
            out.text(owner.group);
        }
        const size_t counts[] = {extension.entries.size(), extension.folders.size(), extension.links.size(),
                                 extension.specials.size()};
        uint8_t current = 255;
        forEachItem(extension, [&](uint8_t kind, size_t, const Metadata& m) {
            for (; current != kind; out.u32(static_cast<uint32_t>(counts[current]))) current = current + 1;
            out.u32(m.owner);
        });
        while (current != specialItem) out.u32(static_cast<uint32_t>(counts[++current]));
        out.end(record);
    }
    if (!extension.hardLinks.empty()) {
        size_t record = out.begin(hardLinksRecord);
        out.u32(static_cast<uint32_t>(extension.hardLinks.size()));
        for (const HardLink& link : extension.hardLinks) {
            out.u32(link.entry);
            out.u32(link.target);
        }
        out.end(record);
    }
    if (!extension.sparseEntries.empty()) {
        size_t record = out.begin(sparseRecord);
        out.u32(static_cast<uint32_t>(extension.sparseEntries.size()));
        for (uint32_t entry : extension.sparseEntries) out.u32(entry);
        out.end(record);
    }
    forEachItem(extension, [&](uint8_t kind, size_t index, const Metadata& m) {
        if (m.attributes.empty()) return;
        size_t record = out.begin(attributesRecord);
        out.u8(kind);
        out.u32(static_cast<uint32_t>(index));
        out.u32(static_cast<uint32_t>(m.attributes.size()));
        for (const Attribute& attribute : m.attributes) {
            out.text(attribute.name);
            out.u32(static_cast<uint32_t>(attribute.value.size()));
            out.append(attribute.value.data(), attribute.value.size());
        }
        out.end(record);
    });
}

} // namespace

bool namespacedAttribute(const std::string& name)
{
    for (const char* space : {"user.", "trusted.", "security.", "system."}) {
        const size_t length = std::strlen(space);
        if (name.size() > length && name.compare(0, length, space) == 0) return true;
    }
    return false;
}

namespace {

// The fewest bytes an attribute takes in a record: a name of six bytes ("user.x") with its
// length, and the value's length.
constexpr size_t smallestAttribute = 2 + 6 + 4;

// Owners and attributes refer to items by kind and position: set once every item is read.
struct Pending {
    std::vector<uint32_t> owners[4];
    bool haveOwners = false;
    struct Attributes {
        uint8_t kind;
        uint32_t index;
        std::vector<Attribute> attributes;
    };
    std::vector<Attributes> attributes;
};

Metadata* itemOf(Extension& extension, uint8_t kind, uint32_t index)
{
    switch (kind) {
    case entryItem:
        return index < extension.entries.size() ? &extension.entries[index] : nullptr;
    case folderItem:
        return index < extension.folders.size() ? &extension.folders[index].metadata : nullptr;
    case linkItem:
        return index < extension.links.size() ? &extension.links[index].metadata : nullptr;
    case specialItem:
        return index < extension.specials.size() ? &extension.specials[index].metadata : nullptr;
    }
    return nullptr;
}

Error settle(Extension& extension, Pending& pending)
{
    if (pending.haveOwners) {
        for (uint8_t kind = entryItem; kind <= specialItem; ++kind) {
            const std::vector<uint32_t>& owners = pending.owners[kind];
            for (uint32_t i = 0; i < owners.size(); ++i) {
                Metadata* item = itemOf(extension, kind, i);
                if (!item || (owners[i] != noOwner && owners[i] >= extension.owners.size())) {
                    return damaged("extension owner record does not match");
                }
                item->owner = owners[i];
            }
            if (itemOf(extension, kind, static_cast<uint32_t>(owners.size()))) {
                return damaged("extension owner record does not match");
            }
        }
    }
    for (Pending::Attributes& set : pending.attributes) {
        Metadata* item = itemOf(extension, set.kind, set.index);
        if (!item || !item->attributes.empty()) return damaged("extension attribute record does not match");
        item->attributes = std::move(set.attributes);
    }
    for (const HardLink& link : extension.hardLinks) {
        if (link.target >= link.entry || link.entry >= extension.entries.size()) {
            return damaged("extension hard link record");
        }
    }
    for (uint32_t entry : extension.sparseEntries) {
        if (entry >= extension.entries.size()) return damaged("extension sparse record");
    }
    return Error();
}

} // namespace

std::vector<uint8_t> extensionBytes(const Extension& extension, const std::vector<ChunkMark>* index)
{
    Out out;
    out.append(extensionMagic, 4);
    out.u16(extensionVersion);
    out.u16(extension.namesUtf8 ? 1 : 0);
    out.u64(0); // the length, once known
    size_t record = out.begin(entriesRecord);
    out.u32(static_cast<uint32_t>(extension.entries.size()));
    for (const Metadata& m : extension.entries) putMetadata(out, m);
    out.end(record);
    for (const FolderRecord& folder : extension.folders) {
        record = out.begin(folderRecord);
        putMetadata(out, folder.metadata);
        out.text(folder.name);
        out.end(record);
    }
    for (const LinkRecord& link : extension.links) {
        record = out.begin(linkRecord);
        putMetadata(out, link.metadata);
        out.u8(static_cast<uint8_t>(link.kind));
        out.text(link.name);
        out.text(link.target);
        out.end(record);
    }
    for (const SpecialRecord& special : extension.specials) {
        record = out.begin(specialRecord);
        putMetadata(out, special.metadata);
        out.u8(static_cast<uint8_t>(special.kind));
        out.u32(special.major);
        out.u32(special.minor);
        out.text(special.name);
        out.end(record);
    }
    putLinuxRecords(out, extension);
    if (index) {
        record = out.begin(chunkIndexRecord);
        out.u32(static_cast<uint32_t>(index->size()));
        for (const ChunkMark& mark : *index) {
            out.u64(mark.bit);
            out.u32(mark.crc);
        }
        out.end(record);
    }
    storeU64(out.bytes.data() + 8, out.bytes.size() + 4);
    out.u32(crc32Update(0, out.bytes.data(), out.bytes.size()));
    return out.bytes;
}

Error extensionLength(const uint8_t* head, uint64_t& length)
{
    if (std::memcmp(head, extensionMagic, 4) != 0) return damaged("extension not found");
    length = loadU64(head + 8);
    if (length < extensionHeadSize + 4 || length > maxExtensionSize) return damaged("extension length");
    return Error();
}

Error parseExtension(const uint8_t* bytes, size_t size, Extension& extension)
{
    extension = Extension();
    uint64_t length = 0;
    if (size < extensionHeadSize + 4) return damaged("extension cut short");
    if (Error failure = extensionLength(bytes, length)) return failure;
    if (length != size) return damaged("extension length");
    if (crc32Update(0, bytes, size - 4) != loadU32(bytes + size - 4)) return damaged("extension checksum");
    // A later version keeps what this one reads and adds record kinds; a version below 1 is
    // no version at all.
    if (bytes[4] == 0 && bytes[5] == 0) return damaged("extension version");
    extension.namesUtf8 = (bytes[6] & 1) != 0;
    In in{bytes + extensionHeadSize, bytes + size - 4};
    bool haveEntries = false;
    Pending pending;
    while (in.ok && in.at < in.end) {
        uint8_t kind = static_cast<uint8_t>(in.le(1));
        uint32_t payload = static_cast<uint32_t>(in.le(4));
        if (!in.take(payload)) break;
        In record{in.at, in.at + payload};
        in.at += payload;
        switch (kind) {
        case entriesRecord: {
            if (haveEntries) return damaged("extension holds two entry records");
            haveEntries = true;
            uint32_t count = static_cast<uint32_t>(record.le(4));
            if (!record.take(static_cast<size_t>(count) * 12)) return damaged("extension entry record");
            extension.entries.reserve(count);
            for (uint32_t i = 0; i < count; ++i) extension.entries.push_back(record.metadata());
            break;
        }
        case folderRecord: {
            FolderRecord folder;
            folder.metadata = record.metadata();
            folder.name = record.text();
            if (!record.ok) return damaged("extension folder record");
            extension.folders.push_back(std::move(folder));
            break;
        }
        case linkRecord: {
            LinkRecord link;
            link.metadata = record.metadata();
            uint8_t kind = static_cast<uint8_t>(record.le(1));
            link.kind =
                kind <= static_cast<uint8_t>(LinkKind::unknown) ? static_cast<LinkKind>(kind) : LinkKind::unknown;
            link.name = record.text();
            link.target = record.text();
            if (!record.ok) return damaged("extension link record");
            extension.links.push_back(std::move(link));
            break;
        }
        case specialRecord: {
            SpecialRecord special;
            special.metadata = record.metadata();
            uint8_t kind = static_cast<uint8_t>(record.le(1));
            special.major = static_cast<uint32_t>(record.le(4));
            special.minor = static_cast<uint32_t>(record.le(4));
            special.name = record.text();
            if (!record.ok || kind > static_cast<uint8_t>(SpecialKind::blockDevice)) {
                return damaged("extension special file record");
            }
            special.kind = static_cast<SpecialKind>(kind);
            extension.specials.push_back(std::move(special));
            break;
        }
        case ownersRecord: {
            if (pending.haveOwners) return damaged("extension holds two owner records");
            pending.haveOwners = true;
            uint32_t count = static_cast<uint32_t>(record.le(4));
            for (uint32_t i = 0; i < count && record.ok; ++i) {
                Owner owner;
                owner.uid = static_cast<uint32_t>(record.le(4));
                owner.gid = static_cast<uint32_t>(record.le(4));
                owner.user = record.text();
                owner.group = record.text();
                extension.owners.push_back(std::move(owner));
            }
            for (std::vector<uint32_t>& owners : pending.owners) {
                uint32_t items = static_cast<uint32_t>(record.le(4));
                if (!record.take(static_cast<size_t>(items) * 4)) break;
                owners.reserve(items);
                for (uint32_t i = 0; i < items; ++i) owners.push_back(static_cast<uint32_t>(record.le(4)));
            }
            if (!record.ok) return damaged("extension owner record");
            break;
        }
        case hardLinksRecord:
        case sparseRecord: {
            const bool pairs = kind == hardLinksRecord;
            uint32_t count = static_cast<uint32_t>(record.le(4));
            if (!record.take(static_cast<size_t>(count) * (pairs ? 8 : 4))) {
                return damaged(pairs ? "extension hard link record" : "extension sparse record");
            }
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t entry = static_cast<uint32_t>(record.le(4));
                if (pairs) {
                    extension.hardLinks.push_back(HardLink{entry, static_cast<uint32_t>(record.le(4))});
                } else {
                    extension.sparseEntries.push_back(entry);
                }
            }
            break;
        }
        case chunkIndexRecord: {
            if (!extension.chunks.empty()) return damaged("extension holds two chunk indexes");
            uint32_t count = static_cast<uint32_t>(record.le(4));
            if (count == 0 || !record.take(static_cast<size_t>(count) * 12)) return damaged("extension chunk index");
            extension.chunks.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                ChunkMark mark;
                mark.bit = record.le(8);
                mark.crc = static_cast<uint32_t>(record.le(4));
                if (i > 0 && mark.bit <= extension.chunks.back().bit) return damaged("extension chunk index");
                extension.chunks.push_back(mark);
            }
            break;
        }
        case attributesRecord: {
            Pending::Attributes set;
            set.kind = static_cast<uint8_t>(record.le(1));
            set.index = static_cast<uint32_t>(record.le(4));
            uint32_t count = static_cast<uint32_t>(record.le(4));
            // Every attribute takes at least a namespaced name and two lengths: a count the
            // record cannot hold is damage before anything is kept for it.
            if (count == 0 || count > record.left() / smallestAttribute) return damaged("extension attribute record");
            set.attributes.reserve(count);
            for (uint32_t i = 0; i < count && record.ok; ++i) {
                Attribute attribute;
                attribute.name = record.text();
                attribute.value = record.text(4);
                if (!namespacedAttribute(attribute.name)) record.ok = false;
                set.attributes.push_back(std::move(attribute));
            }
            if (!record.ok) return damaged("extension attribute record");
            pending.attributes.push_back(std::move(set));
            break;
        }
        default:
            break; // a kind of a later version
        }
    }
    if (!in.ok) return damaged("extension record cut short");
    if (!haveEntries) return damaged("extension without entry record");
    return settle(extension, pending);
}

} // namespace qv5
