#include "archive/extension_format.h"

#include "archive/archive_format.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"

#include <cstring>

namespace qv5 {

namespace {

enum RecordKind : uint8_t { entriesRecord = 1, folderRecord = 2, linkRecord = 3 };

struct Out {
    std::vector<uint8_t> bytes;
    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { put(&v, 2); }
    void u32(uint32_t v) { put(&v, 4); }
    void u64(uint64_t v) { put(&v, 8); }
    void text(const std::string& s)
    {
        u16(static_cast<uint16_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    template <class T>
    void put(const T* v, size_t n)
    {
        uint8_t little[8];
        uint64_t value = static_cast<uint64_t>(*v);
        for (size_t i = 0; i < n; ++i) little[i] = static_cast<uint8_t>(value >> (8 * i));
        bytes.insert(bytes.end(), little, little + n);
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
    uint64_t le(size_t n)
    {
        if (!take(n)) return 0;
        uint64_t v = 0;
        for (size_t i = n; i-- > 0;) v = (v << 8) | at[i];
        at += n;
        return v;
    }
    std::string text()
    {
        size_t n = le(2);
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

} // namespace

std::vector<uint8_t> extensionBytes(const Extension& extension)
{
    Out out;
    out.bytes.insert(out.bytes.end(), extensionMagic, extensionMagic + 4);
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
        default:
            break; // a kind of a later version
        }
    }
    if (!in.ok) return damaged("extension record cut short");
    if (!haveEntries) return damaged("extension without entry record");
    return Error();
}

} // namespace qv5
