#include "archive/output_tree.h"

#include "archive/archive_format.h"

namespace qv5 {

std::string OutputName::key(size_t count) const
{
    std::string joined;
    for (size_t i = 0; i < components.size() && i < count; ++i) {
        if (i > 0) joined += '/';
        joined += windowsNames ? comparableName(components[i]) : components[i];
    }
    return joined;
}

bool splitOutputName(const std::string& name, OutputName& out)
{
    out.components.clear();
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !isPathSeparator(name[end])) ++end;
        std::string component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        // Refused long before, by the name rules; the walk never takes them whatever called it.
        if (component == ".." || component.find('\0') != std::string::npos) return false;
        out.components.push_back(std::move(component));
    }
    return !out.components.empty();
}

namespace {

const HeldFolder* rootOf(OutputTree& tree, bool create)
{
    // A root that could not be held is tried again when asked to make it: the up-front
    // checks look without making anything.
    if (!tree.root && (!tree.rootTried || create)) {
        tree.root = holdFolder(tree.rootPath, create && tree.createRoot);
        tree.rootTried = true;
    }
    return tree.root.get();
}

} // namespace

Walk walkTo(OutputTree& tree, const OutputName& name, size_t count, bool create, const HeldFolder*& folder)
{
    folder = rootOf(tree, create);
    if (!folder) return create ? Walk::failed : Walk::missing;
    // What the last walk holds already is kept up to the first component that differs.
    size_t kept = 0;
    while (kept < tree.chain.size() && kept < count && tree.chainNames[kept] == name.components[kept]) ++kept;
    tree.chain.resize(kept);
    tree.chainNames.resize(kept);
    if (kept > 0) folder = tree.chain[kept - 1].get();
    for (size_t i = kept; i < count; ++i) {
        HeldFolderPtr next;
        bool created = false;
        switch (holdFolderBelow(*folder, name.components[i], create, next, created, tree.ownerOnly)) {
        case Reached::folder:
            break;
        case Reached::missing:
            return create ? Walk::failed : Walk::missing;
        case Reached::link:
            return Walk::link;
        case Reached::other:
            return Walk::failed;
        }
        // The folder made is the one now held: its identity is that of the handle.
        if (created) tree.createdFolders[name.key(i + 1)] = identityOfFolder(*next);
        folder = next.get();
        tree.chain.push_back(std::move(next));
        tree.chainNames.push_back(name.components[i]);
    }
    return Walk::reached;
}

Error openOutputFile(OutputTree& tree, const OutputName& name, const std::string& shownPath, ErrorCode failure,
                     bool createFolders, const std::function<Error(const FileIdentity& followed)>& mayReplace,
                     FILE*& file, FileIdentity& identity)
{
    // Each refusal comes right after the call that failed, with its reason.
    auto refused = [&] { return systemError(failure, shownPath, true); };
    const HeldFolder* parent = nullptr;
    const std::string& leaf = name.components.back();
    switch (walkTo(tree, name, name.components.size() - 1, createFolders, parent)) {
    case Walk::reached:
        break;
    case Walk::link:
        return Error(ErrorCode::outputThroughLink, shownPath, std::string(), true);
    case Walk::missing:
    case Walk::failed:
        return refused();
    }
    file = createFileBelow(*parent, leaf, tree.ownerOnly);
    if (!file) {
        const EntryState existing = stateBelow(*parent, leaf);
        // A folder is never replaced: no answer turns it into a file.
        if (existing.kind == EntryKind::folder) return refused();
        if (existing.kind != EntryKind::missing) {
            if (Error declined = mayReplace(followedIdentityBelow(*parent, leaf))) return declined;
            // Never written in place: another process holding the old file open or mapped
            // would see the new bytes, and the owner and mode set on them.
            file = replaceFileBelow(*parent, leaf, tree.ownerOnly);
        }
    }
    if (!file) return refused();
    identity = identityOfFile(file);
    return Error();
}

EntryState outputState(OutputTree& tree, const OutputName& name)
{
    const HeldFolder* parent = nullptr;
    if (walkTo(tree, name, name.components.size() - 1, false, parent) != Walk::reached) return EntryState();
    return stateBelow(*parent, name.components.back());
}

FILE* readOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written)
{
    const HeldFolder* parent = nullptr;
    if (walkTo(tree, name, name.components.size() - 1, false, parent) != Walk::reached) return nullptr;
    return readFileBelow(*parent, name.components.back(), written);
}

void removeOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written)
{
    const HeldFolder* parent = nullptr;
    if (walkTo(tree, name, name.components.size() - 1, false, parent) != Walk::reached) return;
    const EntryState now = stateBelow(*parent, name.components.back());
    if (now.kind == EntryKind::file && sameFile(now.identity, written)) removeBelow(*parent, name.components.back());
}

Error makeOutputFolder(OutputTree& tree, const OutputName& name, const std::string& shownPath, bool& made,
                       std::string& refusal)
{
    const HeldFolder* folder = nullptr;
    const Walk walk = walkTo(tree, name, name.components.size(), true, folder);
    made = walk == Walk::reached;
    if (!made) refusal = lastFailureReason();
    return walk == Walk::link ? Error(ErrorCode::outputThroughLink, shownPath) : Error();
}

namespace {

// Makes room at the leaf of name for something new: asked about, and removed unless a folder.
// False when it cannot be made room for: failure is an error that stops the extraction (a
// declined question), or else refusal says why.
bool makeRoom(const HeldFolder& parent, const std::string& leaf,
              const std::function<Error(const FileIdentity& followed)>& mayReplace, Error& failure,
              std::string& refusal)
{
    const EntryState existing = stateBelow(parent, leaf);
    if (existing.kind == EntryKind::missing) return true;
    if (!existing.unreadable.empty()) {
        refusal = existing.unreadable;
        return false;
    }
    if ((failure = mayReplace(followedIdentityBelow(parent, leaf)))) return false;
    if (existing.kind == EntryKind::folder) {
        refusal = "a folder stands there";
        return false;
    }
    if (removeBelow(parent, leaf)) return true;
    refusal = lastFailureReason();
    return false;
}

// The folder that holds name's last component, made where missing; what stops the walk is
// returned (a link: outputThroughLink) or said in refusal (parent then null).
Error parentOf(OutputTree& tree, const OutputName& name, const std::string& shownPath, bool create,
               const HeldFolder*& parent, std::string& refusal)
{
    switch (walkTo(tree, name, name.components.size() - 1, create, parent)) {
    case Walk::reached:
        return Error();
    case Walk::link:
        return Error(ErrorCode::outputThroughLink, shownPath, std::string(), true);
    case Walk::missing:
    case Walk::failed:
        break;
    }
    parent = nullptr;
    refusal = lastFailureReason();
    return Error();
}

// Nothing restored, for the reason the walk to the entry failed.
Restored unreached(const RestorePlan& plan)
{
    return nothingRestored(plan, lastFailureReason());
}

} // namespace

Error makeOutputLink(OutputTree& tree, const OutputName& name, const std::string& shownPath, const LinkRecord& link,
                     const std::function<Error(const FileIdentity& followed)>& mayReplace, bool& made,
                     std::string& refusal)
{
    made = false;
    const HeldFolder* parent = nullptr;
    const std::string& leaf = name.components.back();
    Error failure = parentOf(tree, name, shownPath, true, parent, refusal);
    if (failure || !parent || !makeRoom(*parent, leaf, mayReplace, failure, refusal)) return failure;
    made = createLinkBelow(*parent, leaf, link.target, link.kind == LinkKind::folder);
    if (!made) refusal = lastFailureReason();
    return Error();
}

Error makeOutputSpecial(OutputTree& tree, const OutputName& name, const std::string& shownPath,
                        const SpecialRecord& special,
                        const std::function<Error(const FileIdentity& followed)>& mayReplace, FileIdentity& identity,
                        std::string& refusal)
{
    identity = FileIdentity();
    const HeldFolder* parent = nullptr;
    const std::string& leaf = name.components.back();
    Error failure = parentOf(tree, name, shownPath, true, parent, refusal);
    if (failure || !parent || !makeRoom(*parent, leaf, mayReplace, failure, refusal)) return failure;
    if (!createSpecialBelow(*parent, leaf, special.kind, special.major, special.minor, identity)) {
        refusal = lastFailureReason();
    }
    return Error();
}

Error makeOutputHardLink(OutputTree& tree, const OutputName& name, const std::string& shownPath,
                         const OutputName& target, const FileIdentity& written,
                         const std::function<Error(const FileIdentity& followed)>& mayReplace, bool& made,
                         std::string& refusal)
{
    made = false;
    const HeldFolder* parent = nullptr;
    Error failure = parentOf(tree, target, shownPath, false, parent, refusal);
    if (failure || !parent) return failure;
    // Held before the walk moves on: the link goes to this very file whatever its name becomes.
    HeldItemPtr file = holdFileBelow(*parent, target.components.back(), written);
    if (!file) {
        refusal = lastFailureReason();
        return Error();
    }
    const std::string& leaf = name.components.back();
    failure = parentOf(tree, name, shownPath, true, parent, refusal);
    if (failure || !parent || !makeRoom(*parent, leaf, mayReplace, failure, refusal)) return failure;
    made = createHardLinkBelow(*file, *parent, leaf);
    if (!made) refusal = lastFailureReason();
    return Error();
}

Restored restoreOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written,
                           const RestorePlan& plan)
{
    const HeldFolder* parent = nullptr;
    if (walkTo(tree, name, name.components.size() - 1, false, parent) != Walk::reached) return unreached(plan);
    return restoreBelow(*parent, name.components.back(), written, plan);
}

Restored restoreOutputFolder(OutputTree& tree, const OutputName& name, const RestorePlan& plan, bool existingToo)
{
    auto created = tree.createdFolders.find(name.key());
    if (created != tree.createdFolders.end()) return restoreOutputFile(tree, name, created->second, plan);
    if (!existingToo) return Restored(); // it stood there before: left as it is
    // Reached as the walk reaches every folder, never through a link, and changed through the
    // handle that holds it.
    const HeldFolder* folder = nullptr;
    if (walkTo(tree, name, name.components.size(), false, folder) != Walk::reached) return unreached(plan);
    return restoreHeldFolder(*folder, plan);
}

Restored restoreOutputLink(OutputTree& tree, const OutputName& name, const RestorePlan& plan)
{
    const HeldFolder* parent = nullptr;
    if (walkTo(tree, name, name.components.size() - 1, false, parent) != Walk::reached) {
        Restored restored = unreached(plan);
        restored.mode = true;
        restored.modeReason.clear();
        return restored;
    }
    return restoreLinkBelow(*parent, name.components.back(), plan);
}

} // namespace qv5
