#include "cli/recovery_commands.h"

#include "cli/archive_output.h"
#include "cli/messages.h"
#include "console/console.h"
#include "console/format.h"
#include "console/prompt.h"
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <string>

namespace qv5 {

namespace {

// A file opened for reading, closed on every way out.
struct OpenFile {
    FILE* file = nullptr;
    explicit OpenFile(FILE* file) : file(file) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile()
    {
        if (file) std::fclose(file);
    }
};

bool sizeOf(FILE* file, uint64_t& size)
{
    if (seekFile(file, 0, SEEK_END) != 0) return false;
    const int64_t end = tellFile(file);
    if (end < 0) return false;
    size = static_cast<uint64_t>(end);
    return true;
}

std::string number(uint64_t n)
{
    return FormatNumber(n, false);
}

// "1 byte", "2,048 bytes".
std::string byteCount(uint64_t n)
{
    return number(n) + (n == 1 ? " byte" : " bytes");
}

// A reader or writer of a file that keeps why its first failure failed (the system's words;
// empty after a short read at the file's end).
RandomReader explainedReader(FILE* file, std::string& refusal)
{
    RandomReader read = fileReader(file);
    return [read, &refusal](uint64_t at, uint8_t* bytes, size_t count) {
        clearFailure();
        if (read(at, bytes, count)) return true;
        if (refusal.empty()) refusal = lastFailureReason();
        return false;
    };
}

ByteWriter explainedWriter(FILE* file, std::string& refusal)
{
    ByteWriter write = fileOutput(file);
    return [write, &refusal](const uint8_t* bytes, size_t count) {
        clearFailure();
        if (write(bytes, count)) return true;
        if (refusal.empty()) refusal = lastFailureReason();
        return false;
    };
}

// The reason of a C stream call that just failed.
std::string streamReason()
{
    noteStreamFailure();
    return lastFailureReason();
}

// The verdict's lines; the damage ones as errors, so that -quiet keeps them.
void describe(const RecoveryCheck& check, const std::string& archivePath, uint64_t fileSize)
{
    const RecoveryLayout& layout = check.layout;
    const uint64_t slices = uint64_t(layout.dataSlices) + layout.paritySlices;
    const std::string path = printable(archivePath);
    switch (check.state) {
    case RecoveryState::none:
        return;
    case RecoveryState::lengthMismatch:
        tell("Damaged: the file is %s bytes, its recovery data was written for %s: cut short or lengthened, beyond "
             "repair\n",
             number(fileSize).c_str(), number(layout.protectedBytes + layout.blockBytes).c_str());
        return;
    case RecoveryState::intact:
        say("Recovery data: %s slices of %s bytes, %s of them parity: all intact\n", number(slices).c_str(),
            number(layout.sliceSize).c_str(), number(layout.paritySlices).c_str());
        if (check.missingBytes > 0) {
            tell("Damaged: %s missing at the end of the file, where the recovery data keeps copies of its "
                 "description and slice table; r %s OUTPUT writes the archive mended\n",
                 byteCount(check.missingBytes).c_str(), path.c_str());
        } else if (check.copyDamaged) {
            tell("Damaged: a copy of the recovery data's description or slice table; r %s OUTPUT writes the archive "
                 "mended\n",
                 path.c_str());
        }
        return;
    case RecoveryState::repairable:
        if (check.missingBytes > 0) {
            tell("Damaged: %s missing at the end of the file; %s of %s slices (%s data, %s parity) damaged or "
                 "missing; the recovery data can rebuild them: r %s OUTPUT writes the repaired archive\n",
                 byteCount(check.missingBytes).c_str(), number(check.damagedData + check.damagedParity).c_str(),
                 number(slices).c_str(), number(check.damagedData).c_str(), number(check.damagedParity).c_str(),
                 path.c_str());
            return;
        }
        tell("Damaged: %s of %s slices (%s data, %s parity); the recovery data can rebuild them: r %s OUTPUT writes "
             "the repaired archive\n",
             number(check.damagedData + check.damagedParity).c_str(), number(slices).c_str(),
             number(check.damagedData).c_str(), number(check.damagedParity).c_str(), path.c_str());
        return;
    case RecoveryState::beyondRepair:
        if (check.missingBytes > 0) {
            tell("Damaged: %s missing at the end of the file; %s of %s slices (%s data, %s parity) damaged or "
                 "missing, more than the %s parity slices: beyond repair\n",
                 byteCount(check.missingBytes).c_str(), number(check.damagedData + check.damagedParity).c_str(),
                 number(slices).c_str(), number(check.damagedData).c_str(), number(check.damagedParity).c_str(),
                 number(layout.paritySlices).c_str());
            return;
        }
        tell("Damaged: %s of %s slices (%s data, %s parity), more than the %s parity slices: beyond repair\n",
             number(check.damagedData + check.damagedParity).c_str(), number(slices).c_str(),
             number(check.damagedData).c_str(), number(check.damagedParity).c_str(),
             number(layout.paritySlices).c_str());
        return;
    }
}

// Damage the recovery data cannot repair.
bool beyondRepair(const RecoveryCheck& check)
{
    return check.state == RecoveryState::beyondRepair || check.state == RecoveryState::lengthMismatch;
}

// A read that failed while the recovery data was checked: the command stops as one of the
// archive's own reads would stop it.
void tellUnreadable(const std::string& archivePath, const std::string& reason)
{
    tell("Error reading %s\n", printable(archivePath).c_str());
    tellReason(archivePath, reason);
}

} // namespace

ProtectFlag readProtectFlag(const std::string& value)
{
    ProtectFlag flag;
    if (value.empty() || value.size() > 2 || value.find_first_not_of("0123456789") != std::string::npos) {
        flag.valid = false;
        return flag;
    }
    flag.percent = std::stoi(value);
    flag.valid = flag.percent >= 1 && flag.percent <= maxProtectPercent;
    if (!flag.valid) flag.percent = 0;
    return flag;
}

bool canProtect(const std::string& archivePath)
{
    EntryKind kind = entryKindOf(archivePath);
    std::string target;
    // A link that may not be followed is refused when the archive is opened.
    if (kind == EntryKind::link && linkTarget(archivePath, target)) kind = entryKindOf(target);
    if (archivePath != "-" && (kind == EntryKind::file || kind == EntryKind::missing || kind == EntryKind::link)) {
        return true;
    }
    tell("Error: -protect needs an archive file: its recovery data is computed from the archive once written\n");
    return false;
}

bool appendRecoveryBlock(FILE* file, const std::string& temporaryPath, const std::string& archivePath, int32_t percent)
{
    const uint32_t start = clockMs();
    std::string reason;
    int64_t end = -1;
    if (std::fflush(file) != 0) {
        reason = streamReason();
    } else if ((end = tellFile(file)) < 0) {
        reason = lastFailureReason();
    }
    OpenFile written(end > 0 ? openRead(temporaryPath) : nullptr);
    if (!written.file) {
        tell("Error writing archive %s\n", printable(archivePath).c_str());
        tellReason(archivePath, end > 0 ? lastFailureReason() : reason);
        return false;
    }
    const RecoveryLayout layout = planRecovery(static_cast<uint64_t>(end), percent);
    std::string readRefusal;
    std::string writeRefusal;
    Error failure =
        writeRecovery(explainedReader(written.file, readRefusal), layout, explainedWriter(file, writeRefusal));
    if (failure) failure.reason = failure.code == ErrorCode::writeArchive ? writeRefusal : readRefusal;
    if (!failure && std::fflush(file) != 0) {
        failure = Error(ErrorCode::writeArchive);
        failure.reason = streamReason();
    }
    if (failure) {
        if (failure.code == ErrorCode::writeArchive) {
            printError(failure, archivePath);
        } else {
            tell("Error writing archive %s\n", printable(archivePath).c_str());
            tellReason(archivePath, failure.reason);
        }
        return false;
    }
    const uint64_t total = static_cast<uint64_t>(end) + layout.blockBytes;
    say("Recovery data: %s parity slices of %s bytes for %s data slices (%d%%): %s -> %s bytes (+%.2f%%) - %.3f "
        "seconds\n",
        number(layout.paritySlices).c_str(), number(layout.sliceSize).c_str(), number(layout.dataSlices).c_str(),
        percent, number(static_cast<uint64_t>(end)).c_str(), number(total).c_str(),
        static_cast<double>(layout.blockBytes) * 100.0 / static_cast<double>(end),
        static_cast<double>(clockMs() - start) * 0.001);
    return true;
}

RecoveryVerdict checkBeforeReading(const std::string& archivePath)
{
    RecoveryVerdict verdict;
    OpenFile archive(openRead(archivePath));
    uint64_t size = 0;
    RecoveryCheck check;
    std::string reason;
    bool failed = !archive.file || !sizeOf(archive.file, size);
    if (failed) {
        reason = lastFailureReason();
    } else {
        const RandomReader reader = explainedReader(archive.file, reason);
        failed = static_cast<bool>(checkRecovery(reader, size, false, check));
        // None at the file's end, which may be lost: an archive whose header gives its
        // extension's place tells where it ends, and where the block's first copy stands.
        uint64_t end = 0;
        if (!failed && check.state == RecoveryState::none) {
            Error unreadable;
            if (seekFile(archive.file, 0, SEEK_SET) != 0) {
                unreadable = Error(ErrorCode::damagedArchive);
                unreadable.reason = lastFailureReason();
            } else {
                unreadable = archiveEndFromHeader(archive.file, end);
            }
            failed = static_cast<bool>(unreadable);
            if (failed) reason = unreadable.reason;
            if (!failed && end > 0) failed = static_cast<bool>(checkRecoveryAfter(reader, size, end, check));
        }
    }
    if (failed) {
        tellUnreadable(archivePath, reason);
        verdict.go = false;
        verdict.status = 1;
        return verdict;
    }
    if (check.state == RecoveryState::none) return verdict;
    verdict.found = true;
    verdict.protectedBytes = check.layout.protectedBytes;
    describe(check, archivePath, size);
    if (beyondRepair(check)) {
        verdict.status = 1; // the archive is read as it is
        return verdict;
    }
    if (check.state != RecoveryState::repairable || check.damagedData == 0) return verdict;
    // The damaged data slices rebuilt in memory; the archive is read through them.
    Error failure = repairedView(explainedReader(archive.file, reason), check, verdict.repaired);
    if (failure && !reason.empty()) {
        tellUnreadable(archivePath, reason);
        verdict.go = false;
        verdict.status = 1;
    } else if (failure) {
        printError(failure); // the recovery data does not hold what it claims: read as it is
        verdict.status = 1;
    } else {
        say("Reading the archive as repaired: %s data %s rebuilt in memory\n", number(check.damagedData).c_str(),
            check.damagedData == 1 ? "slice" : "slices");
    }
    return verdict;
}

int32_t checkAfterReading(const std::string& archivePath, uint64_t archiveEnd)
{
    if (archiveEnd == 0) return 0;
    OpenFile archive(openRead(archivePath));
    uint64_t size = 0;
    RecoveryCheck check;
    std::string reason;
    bool failed = !archive.file || !sizeOf(archive.file, size);
    if (failed) {
        reason = lastFailureReason();
    } else {
        failed = static_cast<bool>(checkRecoveryAfter(explainedReader(archive.file, reason), size, archiveEnd, check));
    }
    if (failed) {
        tellUnreadable(archivePath, reason);
        return 1;
    }
    describe(check, archivePath, size);
    return beyondRepair(check) ? 1 : 0;
}

int32_t repairCommand(const std::string& archivePath, const std::string& outputPath, const RunOptions& options)
{
    OpenFile archive(openRead(archivePath));
    uint64_t size = 0;
    if (!archive.file) {
        tell("Error opening %s\n", printable(archivePath).c_str());
        tellReason(archivePath, lastFailureReason());
        return 1;
    }
    if (!sizeOf(archive.file, size)) {
        tell("Error reading %s\n", printable(archivePath).c_str());
        tellReason(archivePath, lastFailureReason());
        return 1;
    }
    nameArchiveRead(archivePath);
    std::string readRefusal;
    const RandomReader reader = explainedReader(archive.file, readRefusal);
    if (sameFile(identityOfPath(outputPath), identityOfFile(archive.file))) {
        tell("Error: the output %s is the archive being repaired; r writes a new file\n",
             printable(outputPath).c_str());
        return 1;
    }
    // The repaired archive is a regular file, made new: a link at the output leads to where it
    // goes (as c follows one at the archive path, never one planted in a shared folder); a
    // device, FIFO or socket is never replaced by one.
    std::string target = outputPath;
    EntryKind kind = entryKindOf(outputPath);
    if (kind == EntryKind::link && !linkTarget(outputPath, target)) {
        tell("Error opening output file %s\n", printable(outputPath).c_str());
        tellReason(outputPath, lastFailureReason());
        return 1;
    }
    if (kind == EntryKind::link) kind = entryKindOf(target);
    if (kind != EntryKind::file && kind != EntryKind::missing) {
        tell("Error: the output %s is not a regular file; r writes a new file\n", printable(outputPath).c_str());
        return 1;
    }
    say("Checking %s...\n", printable(archivePath).c_str());
    RecoveryCheck check;
    if (Error failure = checkRecovery(reader, size, true, check)) {
        failure.reason = readRefusal;
        printError(failure);
        return 1;
    }
    if (check.state == RecoveryState::none) {
        tell("Error: %s holds no recovery data\n", printable(archivePath).c_str());
        return 1;
    }
    describe(check, archivePath, size);
    if (check.state == RecoveryState::lengthMismatch || check.state == RecoveryState::beyondRepair) {
        tell("Error: nothing written\n");
        return 1;
    }
    if (!options.forceOverwrite && entryKindOf(outputPath) != EntryKind::missing) {
        tell("Error: Output file %s already exists. Press Y to overwrite it, or any other key to exit: ",
             printable(outputPath).c_str());
        if (readAnswer() != 'y') return 1;
    }
    ArchiveOutput output;
    if (!openOutputBeside(target, output)) {
        tell("Error opening output file %s\n", printable(outputPath).c_str());
        tellReason(outputPath, lastFailureReason());
        return 1;
    }
    std::string writeRefusal;
    Error failure = repairArchive(reader, check, explainedWriter(output.file, writeRefusal));
    if (failure) failure.reason = failure.code == ErrorCode::writeArchive ? writeRefusal : readRefusal;
    if (!failure && !finishArchiveOutput(output)) {
        failure = Error(ErrorCode::writeArchive);
        failure.reason = lastFailureReason();
    }
    if (failure) {
        if (failure.code == ErrorCode::writeArchive) {
            tell("Error writing %s\n", printable(outputPath).c_str());
            tellReason(outputPath, failure.reason);
        } else {
            printError(failure);
        }
        return 1; // the temporary file goes with output
    }
    // A file cut short is written to its full length.
    const uint64_t written = check.layout.protectedBytes + check.layout.blockBytes;
    say("Rebuilt %s data and %s parity slices; wrote %s (%s bytes)\n", number(check.damagedData).c_str(),
        number(check.damagedParity).c_str(), printable(outputPath).c_str(), number(written).c_str());
    return 0;
}

} // namespace qv5
