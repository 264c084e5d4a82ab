// The metadata extension's reader alone: parseExtension, then checkExtension against a file
// table of as many entries as the block describes. The first byte chooses whether the block's
// length and CRC-32 are made right first, so that the records behind them are explored too.
// A block that is read must write back to one that reads the same; one that passes the
// checks must name every place once, each with only components a walk takes.
#include "archive/extension_format.h"
#include "archive/output_tree.h"
#include "codec/byte_order.h"
#include "codec/crc32.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "extension: %s\n", what);
    std::abort();
}

bool sameMetadata(const qv5::Metadata& a, const qv5::Metadata& b)
{
    return a.modifiedNs == b.modifiedNs && a.mode == b.mode;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    std::vector<uint8_t> block(data + 1, data + size);
    if ((data[0] & 1) && block.size() >= qv5::extensionHeadSize + 4) {
        qv5::storeU64(block.data() + 8, block.size());
        qv5::storeU32(block.data() + block.size() - 4, qv5::crc32Update(0, block.data(), block.size() - 4));
    }
    qv5::Extension extension;
    if (qv5::parseExtension(block.data(), block.size(), extension)) return 0;

    std::vector<uint8_t> again = qv5::extensionBytes(extension);
    qv5::Extension back;
    if (qv5::parseExtension(again.data(), again.size(), back)) fail("a block written back is not read");
    if (back.namesUtf8 != extension.namesUtf8 || back.entries.size() != extension.entries.size() ||
        back.folders.size() != extension.folders.size() || back.links.size() != extension.links.size()) {
        fail("a block written back reads differently");
    }
    for (size_t i = 0; i < back.entries.size(); ++i) {
        if (!sameMetadata(back.entries[i], extension.entries[i])) fail("entry metadata differs");
    }
    for (size_t i = 0; i < back.links.size(); ++i) {
        if (back.links[i].name != extension.links[i].name || back.links[i].target != extension.links[i].target ||
            back.links[i].kind != extension.links[i].kind) {
            fail("a link differs");
        }
    }

    std::vector<qv5::Entry> entries(extension.entries.size());
    for (size_t i = 0; i < entries.size(); ++i) entries[i].name = "/f" + std::to_string(i);
    if (qv5::checkExtension(entries, extension)) return 0;
    std::set<std::string> places;
    for (const qv5::Entry& entry : entries) places.insert(entry.name.substr(1));
    auto placed = [&](const std::string& name) {
        qv5::OutputName split;
        if (!qv5::splitOutputName(name, split)) fail("an accepted record name cannot be walked");
        for (const std::string& component : split.components) {
            if (component == "." || component == ".." || component.find('\0') != std::string::npos) {
                fail("an accepted record name holds a component a walk never takes");
            }
        }
        if (!places.insert(split.key()).second) fail("an accepted place is named twice");
    };
    for (const qv5::FolderRecord& folder : extension.folders) placed(folder.name);
    for (const qv5::LinkRecord& link : extension.links) placed(link.name);
    return 0;
}
