#include "cli/sfx.h"

#include "cli/archive_commands.h"
#include "cli/messages.h"
#include "cli/recovery_commands.h"
#include "cli/run_options.h"
#include "cli/seal_commands.h"
#include "console/console.h"
#include "console/format.h"
#include "platform/platform.h"

#include <cstring>
#include <vector>

namespace qv5 {

constexpr size_t sfxPortionSize = 65536;

// The slot and the two addends whose sum is the marker. The marker's bytes are stored in
// the slot alone; code forms it at run time from the volatile addends, so the compiler can
// neither fold the comparison nor leave a copy of the marker in the code.
struct SfxData {
    uint32_t offsetSlot;
    uint32_t markerLow;
    uint32_t markerHigh;
};

extern volatile SfxData qv5SfxData;
alignas(16) volatile SfxData qv5SfxData = {0x9B3E6A1Du, 0x51F23C07u, 0x494C2E16u};

namespace {

uint32_t SfxMarker()
{
    return qv5SfxData.markerLow + qv5SfxData.markerHigh;
}

} // namespace

bool isPlainArchiver()
{
    return qv5SfxData.offsetSlot == SfxMarker();
}

bool writeSfxImage(FILE* output, const std::string& outputPath)
{
    std::string exePath;
    moduleFileName(exePath);
    FILE* exe = openRead(exePath);
    if (!exe) {
        tell("Error opening input file %s to create SFX exe\n", printable(exePath).c_str());
        tellReason(exePath, lastFailureReason());
        return false;
    }
    int64_t exeSize = -1;
    if (seekFile(exe, 0, SEEK_END) == 0) exeSize = tellFile(exe);
    if (exeSize < 0 || seekFile(exe, 0, SEEK_SET) != 0) {
        const std::string reason = lastFailureReason();
        std::fclose(exe);
        tell("Error reading input file %s\n", printable(exePath).c_str());
        tellReason(exePath, reason);
        return false;
    }

    const uint32_t marker = SfxMarker();
    std::vector<uint8_t> portion(sfxPortionSize);
    bool found = false;
    bool writeOk = true;
    uint64_t written = 0;
    size_t n;
    while ((n = std::fread(portion.data(), 1, portion.size(), exe)) > 0) {
        if (!found && n > 4) {
            // The slot is read back as the program's own uint32_t: its bytes in the image
            // are in the machine's order, whatever the archive format's order is.
            for (size_t at = 0; at + 4 <= n; at += 4) {
                uint32_t word;
                std::memcpy(&word, portion.data() + at, 4);
                if (word != marker) continue;
                uint32_t offset = static_cast<uint32_t>(exeSize);
                std::memcpy(portion.data() + at, &offset, 4);
                say("SFX offset stored at 0x%X\n", static_cast<unsigned>(written + at));
                found = true;
                break;
            }
        }
        if (std::fwrite(portion.data(), 1, n, output) != n) {
            noteStreamFailure();
            writeOk = false;
            break;
        }
        written += n;
    }
    const bool readFailed = std::ferror(exe) != 0;
    if (writeOk && readFailed) noteStreamFailure();
    // Of the write or the read that failed; none when the file only ended early.
    const std::string reason = writeOk && !readFailed ? std::string() : lastFailureReason();
    // The slot holds exeSize as the archive's offset: the copy must be exactly that long.
    bool readOk = !readFailed && written == static_cast<uint64_t>(exeSize);
    std::fclose(exe);
    if (writeOk && !readOk) {
        tell("Error reading input file %s\n", printable(exePath).c_str());
        tellReason(exePath, reason);
        return false;
    }
    if (!writeOk) {
        tell("Error writing archive %s\n", printable(outputPath).c_str());
        tellReason(outputPath, reason);
        return false;
    }
    if (!found) {
        tell("Error finding SFX offset in %s\n", printable(exePath).c_str());
        return false;
    }
    return true;
}

int32_t runSfxStub()
{
    say("Self-extracting exe stub\n");
    std::string exePath;
    moduleFileName(exePath);
    FILE* exe = openRead(exePath);
    if (!exe) {
        tell("Error opening %s\n", printable(exePath).c_str());
        tellReason(exePath, lastFailureReason());
        return 1;
    }
    nameArchiveRead(exePath);
    seekFile(exe, static_cast<int32_t>(qv5SfxData.offsetSlot), SEEK_SET);
    RunOptions options; // all options off
    // A sealed archive asks for its passphrase (or a secret key: -identity has no place here,
    // so a sealed archive for recipients cannot open this way) and is read through its
    // recovery data when it has some.
    ThroughRecovery through;
    SealedReading sealed;
    RecoveryVerdict verdict;
    const bool isSealed = startsSealed(exe);
    if (isSealed) {
        verdict = checkBeforeReading(exePath);
        sealed.repaired = verdict.repaired.get();
        sealed.end = verdict.found ? verdict.protectedBytes : 0;
        if (!verdict.go || !openSealedArchive(exe, options, sealed)) {
            std::fclose(exe);
            pauseConsole();
            return 1;
        }
        through.source = &sealed.source;
    }
    ExtractOutcome outcome = extractCommand(exe, nullptr, options, {}, isSealed ? &through : nullptr);
    std::fclose(exe);
    if (outcome == ExtractOutcome::failed) return 1;
    pauseConsole();
    return outcome == ExtractOutcome::done ? 0 : 1;
}

} // namespace qv5
