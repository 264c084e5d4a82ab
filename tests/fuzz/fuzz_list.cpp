// Lists a whole archive given as bytes: header, name code table and file table, each entry
// also checked as extraction checks it, and the metadata extension when there is one.
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
    if (qv5::readTable(*archive, callbacks, entries) || !qv5::hasExtension(*archive)) return 0;
    // The metadata extension, where the header puts it or after the stream.
    qv5::Extension extension;
    if (!qv5::extensionFollowsStream(*archive)) {
        qv5::readExtension(*archive, extension);
    } else if (!qv5::readContents(*archive, entries, 1, qv5::ContentCallbacks())) {
        qv5::readTrailingExtension(*archive, extension);
    }
    return 0;
}
