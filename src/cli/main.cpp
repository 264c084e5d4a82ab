#include "cli/command_line.h"
#include "codec/crc32.h"

#include <cstdio>

int main(int argc, char** argv)
{
    qv5::buildCrcTables();
    qv5::printBanner();
    int status = qv5::runCommandLine(argc, argv);
    std::fflush(stdout);
    return status;
}
