#include "cli/command_line.h"
#include "cli/sfx.h"
#include "codec/crc32.h"

#include <cstdio>

int main(int argc, char** argv)
{
    qv5::buildCrcTables();
    qv5::printBanner();
    int status = qv5::isPlainArchiver() ? qv5::runCommandLine(argc, argv) : qv5::runSfxStub();
    std::fflush(stdout);
    return status;
}
