#include "input/input_metadata.h"

#include "platform/platform.h"

#include <map>
#include <string>
#include <utility>

namespace qv5 {

namespace {

// Owners are stored once each, numbers and names, and referred to by index.
struct OwnerTable {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> index;
    std::vector<Owner>* owners = nullptr;

    uint32_t of(const FileMetadata& from)
    {
        if (!from.hasOwner) return noOwner;
        auto [at, added] = index.try_emplace({from.uid, from.gid}, static_cast<uint32_t>(owners->size()));
        if (added) {
            Owner owner;
            owner.uid = from.uid;
            owner.gid = from.gid;
            owners->push_back(std::move(owner)); // named all at once when every owner is known
        }
        return at->second;
    }
};

// An item's metadata; its attributes read from path (not for links: a link's own attributes
// are not kept). False when they cannot be read.
bool metadataOf(const FileMetadata& from, const std::string& path, bool withAttributes, OwnerTable& owners,
                Metadata& metadata)
{
    metadata = Metadata(from.modifiedNs, from.mode);
    metadata.owner = owners.of(from);
    return !withAttributes || readAttributes(path, metadata.attributes);
}

// Files that share an inode are equal, so they stand in one run of duplicates; each later one
// is stored as a hard link of the first (in archive order) when the run holds them both.
void findHardLinks(const std::vector<FileEntry>& entries, Extension& extension)
{
    const size_t n = entries.size();
    // In archive order, where the run of equal files each entry stands in ends: two entries
    // share a run when the earlier one's run reaches the later one.
    std::vector<uint32_t> runEnd(n);
    for (size_t archived = n; archived-- > 0;) {
        const bool copy = entries[n - 1 - archived].duplicate != 0 && archived + 1 < n;
        runEnd[archived] = copy ? runEnd[archived + 1] : static_cast<uint32_t>(archived);
    }
    std::map<std::pair<uint64_t, uint64_t>, uint32_t> first;
    for (size_t archived = 0; archived < n; ++archived) {
        const FileMetadata& metadata = entries[n - 1 - archived].metadata;
        if (metadata.linkCount < 2 || !metadata.identity.valid) continue;
        auto [at, added] =
            first.try_emplace({metadata.identity.device, metadata.identity.index}, static_cast<uint32_t>(archived));
        if (added) continue;
        if (runEnd[at->second] >= archived) {
            extension.hardLinks.push_back(HardLink{static_cast<uint32_t>(archived), at->second});
        }
    }
}

} // namespace

InputError collectMetadata(const std::vector<FileEntry>& entries, const ExtraList& extras, Extension& extension,
                           std::vector<LeftOut>* leftOut)
{
    extension.namesUtf8 = namesAreUnicode;
    OwnerTable owners;
    owners.owners = &extension.owners;
    // What could not be read: a failure, or with leftOut a line of its own.
    auto unread = [&](InputFailure kind, const std::string& path, const char* what = "") {
        InputError failure(kind, path, false, lastFailureReason());
        if (!leftOut) return failure;
        leftOut->push_back(LeftOut{path, what + failure.reason});
        return InputError();
    };
    constexpr const char* withoutAttributes = "extended attributes not stored: ";
    for (size_t k = entries.size(); k-- > 0;) {
        const FileEntry& entry = entries[k];
        Metadata metadata;
        if (!metadataOf(entry.metadata, entry.sourcePath, true, owners, metadata)) {
            metadata.attributes.clear();
            if (!leftOut || entryKindOf(entry.sourcePath) != EntryKind::missing) {
                if (InputError failure = unread(InputFailure::readInput, entry.sourcePath, withoutAttributes))
                    return failure;
            }
        }
        if (entry.metadata.sparse) extension.sparseEntries.push_back(static_cast<uint32_t>(extension.entries.size()));
        extension.entries.push_back(std::move(metadata));
    }
    findHardLinks(entries, extension);
    for (const ExtraItem& extra : extras) {
        FileMetadata from;
        if (!metadataOfPath(extra.sourcePath, from)) {
            if (InputError failure = unread(InputFailure::openInput, extra.sourcePath)) return failure;
            continue;
        }
        Metadata metadata;
        if (!metadataOf(from, extra.sourcePath, !extra.isLink, owners, metadata)) {
            metadata.attributes.clear();
            if (InputError failure = unread(InputFailure::readInput, extra.sourcePath, withoutAttributes))
                return failure;
        }
        if (extra.isLink) {
            LinkRecord link;
            link.name = extra.storedName;
            if (!readLinkText(extra.sourcePath, link.target)) {
                if (InputError failure = unread(InputFailure::readInput, extra.sourcePath)) return failure;
                continue;
            }
            link.kind = extra.dangling ? LinkKind::unknown : (extra.linkToFolder ? LinkKind::folder : LinkKind::file);
            link.metadata = std::move(metadata);
            extension.links.push_back(std::move(link));
        } else if (from.special) {
            SpecialRecord special;
            special.name = extra.storedName;
            special.kind = from.specialKind;
            special.major = from.major;
            special.minor = from.minor;
            special.metadata = std::move(metadata);
            extension.specials.push_back(std::move(special));
        } else {
            extension.folders.push_back(FolderRecord{extra.storedName, std::move(metadata)});
        }
    }
    ownerNames(extension.owners);
    return InputError();
}

} // namespace qv5
