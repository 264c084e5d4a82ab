// Lists a whole archive given as bytes: header, name code table and file table, each entry
// also checked as extraction checks it.
#include "qv5/qv5.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qv5::ArchivePtr archive = qv5::openArchive(data, size);
    qv5::TableCallbacks callbacks;
    callbacks.entry = [](const qv5::Entry& entry, int32_t, int32_t count) {
        qv5::checkName(entry, count == 1);
        return qv5::Error();
    };
    std::vector<qv5::Entry> entries;
    qv5::readTable(*archive, callbacks, entries);
    return 0;
}
