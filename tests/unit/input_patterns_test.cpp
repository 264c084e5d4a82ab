#include "input/patterns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using namespace qv5;

namespace {

struct MatchCase {
    const char* pattern;
    const char* text;
    bool exact;   // result with case compared
    bool anyCase; // result with case ignored
};

} // namespace

TEST(MatchesPattern, Table)
{
    const MatchCase cases[] = {
        {"", "", true, true},
        {"", "a", false, false},
        {"*", "", true, true},
        {"?", "", false, false},
        {"abc", "abc", true, true},
        {"abc", "abcd", false, false},
        {"abcd", "abc", false, false},
        {"a?c", "abc", true, true},
        {"a?c", "ac", false, false},
        {"*.txt", "notes.txt", true, true},
        {"*.txt", "notes.txt.bak", false, false},
        {"*.txt", "a.txt.txt", true, true},
        {"a*b*c", "aXbYbZc", true, true},
        {"a*b*c", "aXbYbZ", false, false},
        {"**a", "ba", true, true},
        // '*' and '?' reach across separators.
        {"docs*b", "docs/sub/b", true, true},
        {"d?cs", "d/cs", true, true},
        {"*/b.txt", "docs/sub/b.txt", true, true},
        // Either separator in pattern and text.
        {"docs/sub/b", "docs\\sub\\b", true, true},
        {"docs\\sub/b", "docs/sub\\b", true, true},
        {"docs\\*", "docs/a", true, true},
        // The case rule: ASCII letters only.
        {"README.TXT", "readme.txt", false, true},
        {"*.JPG", "photo.jpg", false, true},
        {"[a]", "[A]", false, true},
        {"\xc3\x89t\xc3\xa9", "\xc3\xa9t\xc3\xa9", false, false},
        // '?' stands for one character of a UTF-8 name, whatever its length in bytes; a name in
        // raw bytes (not UTF-8) steps byte by byte.
        {"caf?.txt", "caf\xc3\xa9.txt", true, true},
        {"caf?.txt", "cafe\xcc\x81.txt", false, false},
        {"?", "\xf0\x9f\x98\x80", true, true},
        {"??", "\xe6\x97\xa5", false, false},
        {"a*??", "a\xc3\xa9", false, false},
        {"*?\xa9", "\xc3\xa9", false, false},
        {"caf?.txt", "caf\xe9.txt", true, true},
    };
    for (const MatchCase& c : cases) {
        EXPECT_EQ(matchesPattern(c.pattern, c.text, false), c.exact) << c.pattern << " / " << c.text;
        EXPECT_EQ(matchesPattern(c.pattern, c.text, true), c.anyCase) << c.pattern << " / " << c.text << " (any case)";
    }
}

TEST(MatchesPattern, HostilePatternsFinishFast)
{
    const std::string text(100000, 'a');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(matchesPattern("*a*a*a*a*a*a*a*a*a*a*b", text, false));
    EXPECT_FALSE(matchesPattern("*?*?*?*?*?*?*?*?*?*?*b", text, true));
    EXPECT_TRUE(matchesPattern("*a*a*a*a*a*a*a*a*a*a*", text, false));
    EXPECT_FALSE(selectsStoredName("*a*a*a*a*a*a*b", "/" + std::string(500, 'a') + "/" + std::string(500, 'a'), false));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(SelectsStoredName, FolderNamesSelectWhatIsBelowThem)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool selected;
    };
    const Case cases[] = {
        {"docs", "/docs/a.txt", true},
        {"docs", "/docs/sub/b", true},
        {"docs", "/docs", true},
        {"docs", "/docsx/a", false},
        {"docs", "/x/docs/a", false},
        {"docs/sub", "/docs/sub/b", true},
        {"docs/sub", "/docs/subway/b", false},
        {"/docs/", "/docs/a.txt", true},
        {"\\docs\\sub\\", "/docs/sub/b", true},
        {"docs\\sub", "\\docs\\sub\\b", true},
        {"doc?", "/docs/a.txt", true},
        {"d*", "/docs/a.txt", true},
        {"*.txt", "/docs/a.txt", true},
        {"*.txt", "/docs/a.txt/inner", true},
        {"*.txt", "/docs/a.md", false},
        {"docs/a.txt", "/docs/a.txt", true},
        {"a.txt", "/docs/a.txt", false},
        {"/", "/anything/at/all", true},
        {"", "/anything", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(selectsStoredName(c.pattern, c.name, false), c.selected) << c.pattern << " / " << c.name;
}

TEST(SelectsStoredName, CaseRuleAsAsked)
{
    EXPECT_FALSE(selectsStoredName("DOCS", "/docs/a.txt", false));
    EXPECT_TRUE(selectsStoredName("DOCS", "/docs/a.txt", true));
    EXPECT_TRUE(selectsStoredName("Docs/A.TXT", "\\docs\\a.txt", true));
    EXPECT_FALSE(selectsStoredName("DOCS", "/docsx/a.txt", true));
}
