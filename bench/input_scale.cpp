// Times the preparation of a large input set phase by phase: discovery, each ordering
// method, measuring and hashing, duplicate detection, and the regrouping alone on synthetic
// shapes. Usage: qv5_bench_input_scale folder
// Each phase runs QV5_SCALE_RUNS times (default 3); the best time is reported. The console
// output of the phases goes to standard output, the timings to standard error.
#include "codec/crc32.h"
#include "input/discovery.h"
#include "input/duplicate_regroup.h"
#include "input/duplicates.h"
#include "input/hash_file.h"
#include "input/ordering.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

using namespace qv5;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* phase, size_t n, double seconds)
{
    std::fprintf(stderr, "%-24s n=%-8zu %9.3f s  %8.2f us/item\n", phase, n, seconds, seconds * 1e6 / (n ? n : 1));
}

// Best of runs timings of one phase; prepare runs untimed before each.
template <class Prepare, class Phase>
double bestOf(int runs, Prepare prepare, Phase phase)
{
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        prepare();
        auto start = std::chrono::steady_clock::now();
        if (!phase()) std::exit(1);
        best = std::min(best, secondsSince(start));
    }
    return best;
}

// Synthetic entries for the regrouping alone: size and CRC-32 from a group number.
std::vector<FileEntry> syntheticEntries(size_t n, size_t (*groupOf)(size_t))
{
    std::vector<FileEntry> entries(n);
    for (size_t k = 0; k < n; ++k) {
        entries[k].storedName = "/synthetic/" + std::to_string(k);
        entries[k].sourcePath = entries[k].storedName;
        entries[k].size = static_cast<int64_t>(groupOf(k));
        entries[k].crc = static_cast<uint32_t>(groupOf(k) * 2654435761u);
    }
    return entries;
}

int64_t regroupCountingOnly(std::vector<FileEntry>& entries)
{
    return detail::regroupDuplicates(entries, [](const FileEntry&, const FileEntry&) { return ContentMatch::same; });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder\n", argv[0]);
        return 2;
    }
    const char* runsText = std::getenv("QV5_SCALE_RUNS");
    const int runs = runsText ? std::max(1, std::atoi(runsText)) : 3;
    buildCrcTables();
    auto nothing = [] {};

    InputList discovered;
    double seconds = bestOf(runs, [&] { discovered.clear(); }, [&] { return findInputs(discovered, argv[1]); });
    const size_t n = discovered.size();
    report("discovery", n, seconds);

    InputList ordered;
    for (int method = 2; method >= 0; --method) {
        seconds = bestOf(runs, [&] { ordered = discovered; }, [&] { return orderInputs(ordered, method); });
        std::string phase = "order -r" + std::to_string(method);
        report(phase.c_str(), n, seconds);
    }

    std::vector<FileEntry> entries(n);
    for (size_t k = 0; k < n; ++k) {
        entries[k].storedName = ordered[k].storedName;
        entries[k].sourcePath = ordered[k].sourcePath;
    }
    seconds = bestOf(runs, nothing, [&] {
        for (size_t k = 0; k < n; ++k) {
            FILE* file = openRead(entries[k].sourcePath);
            if (!file) return false;
            seekFile(file, 0, SEEK_END);
            entries[k].size = tellFile(file);
            std::fclose(file);
            if (!hashFile(entries[k].sourcePath, static_cast<int32_t>(k + 1), static_cast<int32_t>(n), entries[k].crc))
                return false;
            entries[k].crcPresent = 1;
        }
        return true;
    });
    report("measure and hash", n, seconds);

    // The regrouping alone, with a comparison that reads nothing.
    std::vector<FileEntry> work;
    int64_t pairs = 0;
    seconds = bestOf(runs, [&] { work = entries; }, [&] { return (pairs = regroupCountingOnly(work)) >= 0; });
    report("regroup (no reads)", n, seconds);

    seconds = bestOf(runs, [&] { work = entries; }, [&] { return findDuplicates(work); });
    report("findDuplicates", n, seconds);
    size_t marked = 0;
    for (const FileEntry& e : work) marked += e.duplicate;
    std::fprintf(stderr, "%zu files, %lld equal size+CRC pairs met, %zu marked\n", n, static_cast<long long>(pairs),
                 marked);

    // Shapes that stress the group sets: two groups interleaved ABAB..., every entry alike,
    // and no two entries alike.
    struct Shape {
        const char* name;
        size_t (*groupOf)(size_t);
    };
    const Shape shapes[] = {{"regroup ABAB (synthetic)", [](size_t k) { return k % 2; }},
                            {"regroup all alike (syn.)", [](size_t) { return size_t{0}; }},
                            {"regroup all unique (syn.)", [](size_t k) { return k; }}};
    for (const Shape& shape : shapes) {
        std::vector<FileEntry> synthetic = syntheticEntries(n, shape.groupOf);
        seconds = bestOf(runs, [&] { work = synthetic; }, [&] { return regroupCountingOnly(work) >= 0; });
        report(shape.name, n, seconds);
    }
    return 0;
}
