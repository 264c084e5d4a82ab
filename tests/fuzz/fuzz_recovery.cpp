// The recovery reader on a whole file given as bytes: the trailer, the search for a copy of the
// description, both slice tables, every slice's checksum, and a repair when the file is found
// repairable. A repair must give a file of the length the block was written for (the file's
// own, or more when it was cut short) whose check finds it intact; the repaired view's rebuilt
// slices must be that file's.
#include "qv5/qv5.h"

#include "archive/repaired_view.h"

#include <algorithm>
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
    if (repaired.size() != check.layout.protectedBytes + check.layout.blockBytes ||
        qv5::checkRecovery(qv5::memoryReader(repaired.data(), repaired.size()), repaired.size(), false, again) ||
        again.state != qv5::RecoveryState::intact || again.copyDamaged) {
        std::abort();
    }
    if (check.state != qv5::RecoveryState::repairable) return 0;
    qv5::RepairedViewPtr view;
    if (qv5::repairedView(qv5::memoryReader(data, size), check, view)) std::abort(); // repairArchive succeeded
    const uint64_t width = view->sliceSize;
    for (size_t n = 0; n < view->slices.size(); ++n) {
        const uint64_t at = view->slices[n] * width;
        const uint64_t length = std::min(width, view->protectedBytes - at);
        if (!std::equal(repaired.begin() + at, repaired.begin() + at + length, view->rebuilt[n].begin())) std::abort();
    }
    return 0;
}
