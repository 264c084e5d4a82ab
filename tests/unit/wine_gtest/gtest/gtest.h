#pragma once
// Enough of GoogleTest's macros to run a few unit test files where GoogleTest is not
// installed: the crypto vectors in the Windows build, under Wine. Each TEST registers a
// function; main runs them all and fails when any check did.
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace wineTest {

struct Case {
    const char* name;
    void (*run)();
};
inline std::vector<Case>& cases()
{
    static std::vector<Case> all;
    return all;
}
inline int& failures()
{
    static int count = 0;
    return count;
}
struct Registrar {
    Registrar(const char* name, void (*run)()) { cases().push_back(Case{name, run}); }
};
// Collects what follows a failed check (<< ...) and prints it with the check.
struct Report {
    std::ostringstream text;
    const char* check;
    const char* file;
    int line;
    Report(const char* check, const char* file, int line) : check(check), file(file), line(line) {}
    ~Report()
    {
        ++failures();
        std::printf("%s:%d: failed: %s %s\n", file, line, check, text.str().c_str());
    }
    template <typename T>
    Report& operator<<(const T& value)
    {
        text << value;
        return *this;
    }
};

// Lets a failed assertion return from a void function with its report: operator= binds
// after every << of the report.
struct Returner {
    void operator=(const Report&) const {}
};

} // namespace wineTest

#define WINE_TEST_CHECK(ok, text, onFail)                                                                           \
    if (ok) {                                                                                                       \
    } else                                                                                                          \
        onFail wineTest::Report(text, __FILE__, __LINE__)
#define EXPECT_TRUE(c) WINE_TEST_CHECK(static_cast<bool>(c), #c, )
#define EXPECT_FALSE(c) WINE_TEST_CHECK(!(c), "!(" #c ")", )
#define EXPECT_EQ(a, b) WINE_TEST_CHECK((a) == (b), #a " == " #b, )
#define EXPECT_NE(a, b) WINE_TEST_CHECK(!((a) == (b)), #a " != " #b, )
#define ASSERT_TRUE(c) WINE_TEST_CHECK(static_cast<bool>(c), #c, return wineTest::Returner() =)
#define ASSERT_FALSE(c) WINE_TEST_CHECK(!(c), "!(" #c ")", return wineTest::Returner() =)
#define ASSERT_EQ(a, b) WINE_TEST_CHECK((a) == (b), #a " == " #b, return wineTest::Returner() =)
#define TEST(suite, name)                                                                                           \
    static void suite##_##name();                                                                                   \
    static wineTest::Registrar suite##_##name##_registrar(#suite "." #name, suite##_##name);                       \
    static void suite##_##name()
