// Times the preparation of a large input set phase by phase: discovery, each ordering
// method, measuring and hashing, duplicate detection, and the regrouping alone on synthetic
// shapes. Usage: qv5_bench_input_scale folder
// With a second argument -r0, -r1 or -r2 it runs the preparation of the c command once with
// that method instead, as the program does it, so that its peak memory can be measured.
// Each phase runs QV5_SCALE_RUNS times (default 3); the best time is reported. The console
// output of the phases goes to standard output, the timings to standard error.
#include "input/discovery.h"
#include "input/duplicate_regroup.h"
#include "input/duplicates.h"
#include "input/hash_file.h"
#include "input/ordering.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

using namespace qv5;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Timing {
    double wall = 1e30; // seconds
    double cpu = 1e30;  // seconds of processor time of this process, less disturbed by other load
};

void report(const char* phase, size_t n, Timing t)
{
    std::fprintf(stderr, "%-26s n=%-7zu wall %8.3f s  cpu %8.3f s  %7.2f us/item (cpu)\n", phase, n, t.wall, t.cpu,
                 t.cpu * 1e6 / static_cast<double>(n ? n : 1));
}

// Best of runs timings of one phase; prepare runs untimed before each.
template <class Prepare, class Phase>
Timing bestOf(int runs, Prepare prepare, Phase phase)
{
    Timing best;
    for (int r = 0; r < runs; ++r) {
        prepare();
        std::clock_t cpuStart = std::clock();
        auto start = std::chrono::steady_clock::now();
        if (!phase()) std::exit(1);
        best.wall = std::min(best.wall, secondsSince(start));
        best.cpu = std::min(best.cpu, static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
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
    // Every entry has the same digest: the regrouping alone, as when all candidates are copies.
    return detail::regroupDuplicates(
        entries, [](const FileEntry&) { return std::optional<ContentDigest>(ContentDigest{}); },
        [](const FileEntry&, const FileEntry&) { return ContentMatch::same; });
}

bool measureAndHash(std::vector<FileEntry>& entries)
{
    const size_t n = entries.size();
    for (size_t k = 0; k < n; ++k) {
        FILE* file = openRead(entries[k].sourcePath);
        if (!file) return false;
        seekFile(file, 0, SEEK_END);
        entries[k].size = tellFile(file);
        std::fclose(file);
        if (hashFile(entries[k].sourcePath, entries[k].crc)) return false;
        entries[k].crcPresent = 1;
    }
    return true;
}

// The preparation of the c command once, as the program does it, for its peak memory.
int runPipeline(const char* folder, int method)
{
    Timing timing;
    InputList list;
    timing = bestOf(
        1, [] {}, [&] { return !findInputs(list, folder); });
    const size_t n = list.size();
    report("discovery", n, timing);
    timing = bestOf(
        1, [] {}, [&] {
            orderInputs(list, method);
            return true;
        });
    report(("order -r" + std::to_string(method)).c_str(), n, timing);
    std::vector<FileEntry> entries(n);
    for (size_t k = 0; k < n; ++k) {
        entries[k].storedName = std::move(list[k].storedName);
        entries[k].sourcePath = std::move(list[k].sourcePath);
    }
    timing = bestOf(
        1, [] {}, [&] { return measureAndHash(entries); });
    report("measure and hash", n, timing);
    timing = bestOf(
        1, [] {},
        [&] {
            int64_t marked = 0;
            return !findDuplicates(entries, marked);
        });
    report("findDuplicates", n, timing);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[2]).rfind("-r", 0) == 0) return runPipeline(argv[1], std::atoi(argv[2] + 2));
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s folder [-r0|-r1|-r2]\n", argv[0]);
        return 2;
    }
    const char* runsText = std::getenv("QV5_SCALE_RUNS");
    const int runs = runsText ? std::max(1, std::atoi(runsText)) : 3;
    auto nothing = [] {};

    InputList discovered;
    Timing timing = bestOf(
        runs, [&] { discovered.clear(); }, [&] { return !findInputs(discovered, argv[1]); });
    const size_t n = discovered.size();
    report("discovery", n, timing);

    InputList ordered;
    for (int method = 2; method >= 0; --method) {
        timing = bestOf(
            runs, [&] { ordered = discovered; }, [&] {
                orderInputs(ordered, method);
                return true;
            });
        std::string phase = "order -r" + std::to_string(method);
        report(phase.c_str(), n, timing);
    }

    // Discovery gives the paths almost sorted already; the sort by path from a shuffled list
    // is the harder case.
    InputList shuffled = discovered;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(12345));
    timing = bestOf(
        runs, [&] { ordered = shuffled; }, [&] {
            orderInputs(ordered, 0);
            return true;
        });
    report("order -r0 (shuffled)", n, timing);

    std::vector<FileEntry> entries(n);
    for (size_t k = 0; k < n; ++k) {
        entries[k].storedName = ordered[k].storedName;
        entries[k].sourcePath = ordered[k].sourcePath;
    }
    timing = bestOf(runs, nothing, [&] { return measureAndHash(entries); });
    report("measure and hash", n, timing);

    // The regrouping alone, with a comparison that reads nothing.
    std::vector<FileEntry> work;
    int64_t pairs = 0;
    timing = bestOf(
        runs, [&] { work = entries; }, [&] { return (pairs = regroupCountingOnly(work)) >= 0; });
    report("regroup (no reads)", n, timing);

    timing = bestOf(
        runs, [&] { work = entries; },
        [&] {
            int64_t marked = 0;
            return !findDuplicates(work, marked);
        });
    report("findDuplicates", n, timing);
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
        timing = bestOf(
            runs, [&] { work = synthetic; }, [&] { return regroupCountingOnly(work) >= 0; });
        report(shape.name, n, timing);
    }
    return 0;
}
