#pragma once
#include <cstdint>
#include <vector>

namespace qv5::bench {

// The benchmark corpus as the archiver would see it: the files of the corpus folder in path
// order, concatenated and cut into 16 MiB chunks (the last one shorter). Each chunk carries
// the slack bytes the match finder and the decoder need. Loaded once per process.
struct Corpus {
    std::vector<std::vector<uint8_t>> chunks; // each chunkLength + slack bytes
    std::vector<int32_t> chunkLengths;
    uint64_t totalBytes = 0;
};

const Corpus& corpus();

} // namespace qv5::bench
