// Hashes one file with hashFile, as compression and extraction do, and prints the CRC-32.
// Timed from outside (bench/hash_throughput.sh), next to reading the file with cat.
#include "input/hash_file.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    uint32_t crc = 0;
    if (qv5::hashFile(argv[1], crc)) return 1;
    std::printf("%08X\n", crc);
    return 0;
}
