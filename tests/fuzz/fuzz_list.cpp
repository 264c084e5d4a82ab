// Lists a whole archive given as bytes: header, name code table and file table.
#include "archive/listing.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qv5::fuzz::quietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qv5::fuzz::MemoryFile archive(data, size);
    qv5::listArchive(archive.get());
    return 0;
}
