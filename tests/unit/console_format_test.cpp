#include "console/format.h"
#include "console/progress.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace qv5;

TEST(FormatNumber, PlainFormGroupsThousands)
{
    EXPECT_STREQ(FormatNumber(0, false), "0");
    EXPECT_STREQ(FormatNumber(999, false), "999");
    EXPECT_STREQ(FormatNumber(1000, false), "1,000");
    EXPECT_STREQ(FormatNumber(25091, false), "25,091");
    EXPECT_STREQ(FormatNumber(1234567, false), "1,234,567");
    EXPECT_STREQ(FormatNumber(18446744073709551615ull, false), "18,446,744,073,709,551,615");
}

TEST(FormatNumber, UnitFormThresholdsAreStrict)
{
    EXPECT_STREQ(FormatNumber(0, true), "0 B");
    EXPECT_STREQ(FormatNumber(1024, true), "1,024 B");
    EXPECT_STREQ(FormatNumber(1025, true), "1.00 KB");
    EXPECT_STREQ(FormatNumber(1536, true), "1.50 KB");
    EXPECT_STREQ(FormatNumber(1048576, true), "1,024.00 KB");
    EXPECT_STREQ(FormatNumber(1048577, true), "1.00 MB");
    EXPECT_STREQ(FormatNumber(5000000, true), "4.77 MB");
    EXPECT_STREQ(FormatNumber(1073741824, true), "1,024.00 MB");
    EXPECT_STREQ(FormatNumber(1073741825, true), "1.00 GB");
    EXPECT_STREQ(FormatNumber(5ull << 40, true), "5,120.00 GB");
}

TEST(FormatNumber, FractionRoundingUpCarriesIntoTheIntegerPart)
{
    EXPECT_STREQ(FormatNumber(2047, true), "2.00 KB");
    EXPECT_STREQ(FormatNumber(1048575, true), "1,024.00 KB");
    EXPECT_STREQ(FormatNumber((3ull << 20) - 1, true), "3.00 MB");
}

TEST(FormatNumber, EightMostRecentResultsStayValid)
{
    const char* results[9];
    for (int i = 0; i < 9; ++i) results[i] = FormatNumber(static_cast<uint64_t>(i) * 1000, false);
    EXPECT_STREQ(results[0], "8,000"); // overwritten by the ninth call
    for (int i = 1; i < 9; ++i) EXPECT_EQ(std::string(results[i]), std::to_string(i) + ",000");
}

TEST(FormatDuration, MinutesAndSeconds)
{
    EXPECT_STREQ(FormatDuration(-5), "0:01");
    EXPECT_STREQ(FormatDuration(0), "0:01");
    EXPECT_STREQ(FormatDuration(1), "0:01");
    EXPECT_STREQ(FormatDuration(59), "0:59");
    EXPECT_STREQ(FormatDuration(60), "1:00");
    EXPECT_STREQ(FormatDuration(125), "2:05");
    EXPECT_STREQ(FormatDuration(3600), "60:00");
}

TEST(ProgressLine, PadsTo79ColumnsAndPrintsLongTextsWhole)
{
    testing::internal::CaptureStdout();
    ProgressLine::show("abc");
    ProgressLine::blank();
    ProgressLine::clear();
    std::string longText(100, 'x');
    ProgressLine::show(longText.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    std::string pad76(76, ' ');
    std::string pad79(79, ' ');
    EXPECT_EQ(out, "\rabc" + pad76 + "\r" + pad79 + "\r" + pad79 + "\r" + "\r" + longText);
}

TEST(ChunkProgress, FirstAndLastChunksShowProcessing)
{
    char text[progressTextSize];
    const uint64_t mib = 1 << 20;
    chunkProgressText(text, 0, 16 * mib, 40 * mib, 1.0f);
    EXPECT_STREQ(text, "Processing 16,384/40,960 KB");
    chunkProgressText(text, 32 * mib, 8 * mib, 40 * mib, 1.0f);
    EXPECT_STREQ(text, "Processing 40,960/40,960 KB");
    chunkProgressText(text, 16 * mib, 16 * mib, 32 * mib, 1.0f); // a two-chunk job
    EXPECT_STREQ(text, "Processing 32,768/32,768 KB");
}

TEST(ChunkProgress, MiddleChunksShowRateAndTimeLeft)
{
    char text[progressTextSize];
    const uint64_t mib = 1 << 20;
    chunkProgressText(text, 16 * mib, 16 * mib, 40 * mib, 0.5f);
    // 24 MiB left at 0.5 s per 16 MiB: 0.75 s, truncated to 0 and shown as 0:01.
    EXPECT_STREQ(text, "32,768/40,960 KB, 0:01 left, 32,768 KB/sec");
    chunkProgressText(text, 16 * mib, 16 * mib, 16 * 1000 * mib, 2.0f);
    EXPECT_STREQ(text, "32,768/16,384,000 KB, 33:18 left, 8,192 KB/sec");
}

TEST(ChunkProgress, TimeLeftMovesNoMoreThanTheTimeElapsed)
{
    // A chunk every second whose times swing (a busy machine): each chunk's own estimate
    // jumps by minutes; the one shown moves by at most the second between them.
    const uint64_t mib = 1 << 20;
    const uint64_t total = 200 * 16 * mib;
    const float swings[] = {0.4f, 3.0f, 0.2f, 2.5f, 1.0f, 0.3f, 4.0f, 1.0f};
    SteadyEstimate estimate;
    int32_t before = -1;
    for (int k = 1; k < 80; ++k) {
        const uint32_t now = 5000 + 1000 * static_cast<uint32_t>(k);
        const int32_t left = steadyTimeLeft(estimate, total, k * 16 * mib, swings[k % 8], now);
        if (before >= 0) {
            EXPECT_LE(std::abs(left - before), 1) << "chunk " << k;
        }
        before = left;
    }
    // Steady chunks: the estimate settles on what they say and counts down with the clock.
    SteadyEstimate steady;
    int32_t left = 0;
    for (int k = 1; k <= 100; ++k) left = steadyTimeLeft(steady, total, k * 16 * mib, 1.0f, 1000 * k);
    EXPECT_EQ(left, 100);
    // The first estimate of a run is the chunk's own, in the same text.
    char text[progressTextSize];
    SteadyEstimate fresh;
    chunkProgressText(text, 16 * mib, 16 * mib, 16 * 1000 * mib, 2.0f, &fresh);
    EXPECT_STREQ(text, "32,768/16,384,000 KB, 33:18 left, 8,192 KB/sec");
}

TEST(Printable, ShowsControlBytesAndKeepsEverythingElse)
{
    EXPECT_EQ(printable("/docs/b.txt"), "/docs/b.txt");
    EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(printable("\x1b[2J\r\n\t\x1f\x7f"), "\\x1B[2J\\x0D\\x0A\\x09\\x1F\\x7F");
    // UTF-8 characters and bytes of other encodings pass unchanged, except C1 controls, as
    // stray bytes or as characters, and the controls that reorder what follows them.
    EXPECT_EQ(printable("caf\xc3\xa9 ~ \xa0\xff \xe2\x82\xac \xf0\x9f\x98\x80"),
              "caf\xc3\xa9 ~ \xa0\xff \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(printable("a\x80\x9b[2Jb"), "a\\x80\\x9B[2Jb");
    EXPECT_EQ(printable("\xc2\x9b" "31m \xc2\x85"), "\\u009B31m \\u0085");
    EXPECT_EQ(printable("evil\xe2\x80\xaetxt.exe \xe2\x81\xa6x\xe2\x81\xa9"), "evil\\u202Etxt.exe \\u2066x\\u2069");
    // The bare marks turn text around as well.
    EXPECT_EQ(printable("a\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c\xe2\x80\x8d"), "a\\u200E\\u200F\\u061C\xe2\x80\x8d");
    // Cut, overlong and surrogate sequences are stray bytes: shown as they are unless C1.
    EXPECT_EQ(printable("\xe2\x80"), "\xe2\\x80");
    EXPECT_EQ(printable("\xc0\x9b"), "\xc0\\x9B");
    EXPECT_EQ(printable("\xed\xa0\x80"), "\xed\xa0\\x80");
}
