#include "bench_corpus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "codec/codec_constants.h"

namespace qv5::bench {

namespace fs = std::filesystem;

static std::vector<fs::path> filesUnder(const std::vector<fs::path>& roots)
{
    std::vector<fs::path> files;
    for (const fs::path& root : roots) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
             it != end; it.increment(ec)) {
            if (ec) break;
            if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

static Corpus load()
{
    const char* folder = std::getenv("QV5_BENCH_CORPUS");
    const char* home = std::getenv("HOME");
    fs::path path = folder ? fs::path(folder) : fs::path(home ? home : ".") / ".cache/qv5-bench/mix";
    std::vector<fs::path> roots = {path};
    if (!fs::is_directory(path)) {
        std::fprintf(stderr, "corpus %s not found; using /usr/lib and /usr/share/doc\n", path.c_str());
        roots = {"/usr/lib", "/usr/share/doc"};
    }
    const char* maxMb = std::getenv("QV5_BENCH_MAX_MB");
    const uint64_t limit = maxMb ? uint64_t(std::strtoull(maxMb, nullptr, 10)) << 20 : UINT64_MAX;

    std::vector<uint8_t> stream;
    for (const fs::path& file : filesUnder(roots)) {
        if (stream.size() >= limit) break;
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    if (stream.size() > limit) stream.resize(size_t(limit));

    Corpus corpus;
    corpus.totalBytes = stream.size();
    for (size_t at = 0; at < stream.size(); at += size_t(chunkSize)) {
        size_t n = std::min(stream.size() - at, size_t(chunkSize));
        std::vector<uint8_t> chunk(stream.begin() + long(at), stream.begin() + long(at + n));
        chunk.resize(n + size_t(chunkSlack), 0xFF);
        corpus.chunks.push_back(std::move(chunk));
        corpus.chunkLengths.push_back(int32_t(n));
    }
    std::fprintf(stderr, "corpus: %s, %llu bytes in %zu chunks\n", roots[0].c_str(),
                 (unsigned long long)corpus.totalBytes, corpus.chunks.size());
    return corpus;
}

const Corpus& corpus()
{
    static const Corpus loaded = load();
    return loaded;
}

} // namespace qv5::bench
