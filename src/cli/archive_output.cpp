#include "cli/archive_output.h"

#include "platform/platform.h"

namespace qv5 {

ArchiveOutput::~ArchiveOutput()
{
    if (file) std::fclose(file);
    if (!temporaryPath.empty()) {
        removeFile(temporaryPath);
        forgetTemporary();
    }
}

bool openOutputBeside(const std::string& path, ArchiveOutput& out)
{
    out.finalPath = path;
    out.file = createTemporaryBeside(path, out.temporaryPath);
    return out.file != nullptr;
}

bool openArchiveOutput(const std::string& archivePath, ArchiveOutput& out)
{
    std::string target = archivePath;
    EntryKind kind = entryKindOf(archivePath);
    // A link that cannot be followed (or may not be: one planted in a shared folder) is never
    // opened: opening it would follow it all the same.
    if (kind == EntryKind::link) {
        if (!linkTarget(archivePath, target)) return false;
        kind = entryKindOf(target);
    }
    if (kind == EntryKind::file || kind == EntryKind::missing) return openOutputBeside(target, out);
    out.file = openWrite(target);
    return out.file != nullptr;
}

bool finishArchiveOutput(ArchiveOutput& out)
{
    FILE* file = out.file;
    out.file = nullptr;
    if (std::fclose(file) != 0) {
        noteStreamFailure();
        return false;
    }
    if (out.temporaryPath.empty()) return true;
    if (!replaceWith(out.temporaryPath, out.finalPath)) return false;
    out.temporaryPath.clear();
    forgetTemporary();
    return true;
}

} // namespace qv5
