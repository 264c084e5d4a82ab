// The recovery reader on a whole file given as bytes: the trailer, the search for a copy of the
// description, both slice tables, every slice's checksum, and a repair when the file is found
// repairable. A repair must give a file of the same length whose check finds it intact.
#include "qv5/qv5.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qv5::RecoveryCheck check;
    if (qv5::checkRecovery(qv5::memoryReader(data, size), size, true, check)) std::abort(); // memory reads cannot fail
    if (check.state != qv5::RecoveryState::repairable && check.state != qv5::RecoveryState::intact) return 0;
    std::vector<uint8_t> repaired;
    if (qv5::repairArchive(qv5::memoryReader(data, size), check, qv5::memoryOutput(repaired))) return 0;
    qv5::RecoveryCheck again;
    if (repaired.size() != size ||
        qv5::checkRecovery(qv5::memoryReader(repaired.data(), repaired.size()), repaired.size(), false, again) ||
        again.state != qv5::RecoveryState::intact || again.copyDamaged) {
        std::abort();
    }
    return 0;
}
