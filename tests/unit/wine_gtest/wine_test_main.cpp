// Runs every TEST of the files linked with it (see gtest/gtest.h beside it).
#include <gtest/gtest.h>

int main()
{
    for (const wineTest::Case& test : wineTest::cases()) {
        const int before = wineTest::failures();
        test.run();
        std::printf("%s %s\n", wineTest::failures() == before ? "ok  " : "FAIL", test.name);
    }
    std::printf("%zu tests, %d failed checks\n", wineTest::cases().size(), wineTest::failures());
    return wineTest::failures() == 0 ? 0 : 1;
}
