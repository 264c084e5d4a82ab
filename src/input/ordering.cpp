#include "input/ordering.h"

#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace qv5 {

namespace {

// Byte order: unsigned bytes, the first difference decides, a prefix comes first.
int compareBytes(std::string_view a, std::string_view b)
{
    size_t common = std::min(a.size(), b.size());
    int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool byteLess(const std::string& a, const std::string& b)
{
    return compareBytes(a, b) < 0;
}

bool isPrintable(uint8_t byte)
{
    return byte == 9 || byte == 10 || byte == 13 || (byte >= 32 && byte <= 126);
}

// The progress of a scan pass: at most one report per second.
class ScanProgress {
public:
    ScanProgress(uint32_t (*clock)(), size_t total, const ScanReport& report)
        : clock_(clock), total_(total), report_(report)
    {
    }

    void beforeItem(size_t index)
    {
        uint32_t now = clock_();
        if (now - lastReport_ < 1000) return;
        if (report_.scanning) report_.scanning(index + 1, total_);
        lastReport_ = now;
    }

    void end()
    {
        if (report_.scanned) report_.scanned();
    }

private:
    uint32_t (*clock_)();
    size_t total_;
    const ScanReport& report_;
    uint32_t lastReport_ = 0; // starts at 0 for every scan
};

// Sorts a permutation stably and moves the items into its order; the comparator sees
// item positions of the list as it was, so per-item keys can be precomputed by position.
template <class Less>
void applyStableOrder(InputList& list, Less less)
{
    std::vector<uint32_t> order(list.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = static_cast<uint32_t>(k);
    std::stable_sort(order.begin(), order.end(), less);
    InputList sorted;
    sorted.reserve(list.size());
    for (uint32_t k : order) sorted.push_back(std::move(list[k]));
    list.swap(sorted);
}

void orderByPath(InputList& list)
{
    applyStableOrder(list, [&](uint32_t a, uint32_t b) { return byteLess(list[a].sourcePath, list[b].sourcePath); });
}

void orderByExtension(InputList& list, uint32_t (*clock)(), const ScanReport& report)
{
    ScanProgress progress(clock, list.size(), report);
    std::vector<std::string> extension(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        progress.beforeItem(i);
        int64_t size = 0;
        // The size bin is kept for information only; it takes no part in the order.
        if (querySize(list[i].sourcePath, size)) list[i].sortKey = static_cast<uint32_t>(size) / 16384u;
        extension[i] = lowerAscii(extensionOf(list[i].sourcePath));
    }
    applyStableOrder(list, [&](uint32_t a, uint32_t b) {
        int c = compareBytes(extension[a], extension[b]);
        if (c != 0) return c < 0;
        return byteLess(list[a].sourcePath, list[b].sourcePath);
    });
    progress.end();
}

void orderByContent(InputList& list, uint32_t (*clock)(), const ScanReport& report)
{
    ScanProgress progress(clock, list.size(), report);
    for (size_t i = 0; i < list.size(); ++i) {
        progress.beforeItem(i);
        // A file that cannot be opened now is ordered as one of no class; hashing finds out
        // whether it can be read at all, and says so.
        FILE* file = openRead(list[i].sourcePath);
        list[i].sortKey = file ? static_cast<uint64_t>(contentClass(file, list[i].storedName)) : 0;
        if (file) std::fclose(file);
    }
    // Equal to a stable sort by path followed by a stable sort by descending class.
    applyStableOrder(list, [&](uint32_t a, uint32_t b) {
        if (list[a].sortKey != list[b].sortKey) return list[a].sortKey > list[b].sortKey;
        return byteLess(list[a].sourcePath, list[b].sourcePath);
    });
    progress.end();
}

} // namespace

std::string extensionOf(const std::string& text)
{
    size_t dot = text.rfind('.');
    if (dot == std::string::npos) return "NONE";
    return text.substr(dot);
}

int32_t textScore(const uint8_t* data, size_t size)
{
    int32_t score = 0;
    for (size_t k = 0; k < size; ++k) score = isPrintable(data[k]) ? score + 1 : score / 2;
    return score;
}

int contentClass(FILE* file, const std::string& storedName)
{
    thread_local std::unique_ptr<uint8_t[]> sample(new uint8_t[contentSampleSize]);
    size_t m = std::fread(sample.get(), 1, contentSampleSize, file);
    // The sample buffer counts as zero beyond m, which is never 'M' or 'Z'.
    if (m >= 2 && sample[0] == 'M' && sample[1] == 'Z') {
        std::string ext = lowerAscii(extensionOf(storedName));
        if (ext == ".exe" || ext == ".dll" || ext == ".pdb") return 16;
    }
    if (m == 0) return 0;
    return textScore(sample.get(), m) > 8 ? 8 : 0;
}

void detail::orderInputs(InputList& list, int method, uint32_t (*clock)(), const ScanReport& report)
{
    if (method >= 2) {
        orderByContent(list, clock, report);
    } else if (method == 1) {
        orderByExtension(list, clock, report);
    } else {
        orderByPath(list);
    }
}

void orderInputs(InputList& list, int method, const ScanReport& report)
{
    detail::orderInputs(list, method, clockMs, report);
}

} // namespace qv5
