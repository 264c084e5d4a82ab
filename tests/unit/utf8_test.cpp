#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

using namespace qv5;

namespace {

std::u16string utf16(std::string_view text)
{
    std::u16string out;
    EXPECT_TRUE(utf16OfUtf8(text, out)) << text;
    return out;
}

} // namespace

TEST(Utf8, RoundTripsEveryLengthOfSequence)
{
    // One to four bytes: ASCII, Greek, CJK, an emoji outside the BMP (a surrogate pair), a
    // combining accent kept apart from its letter, and the ends of each range.
    EXPECT_EQ(utf16("a.txt"), u"a.txt");
    EXPECT_EQ(utf16("\xCE\xA9mega"), u"\u03A9mega");
    EXPECT_EQ(utf16("\xE6\x97\xA5\xE6\x9C\xAC"), u"\u65E5\u672C");
    EXPECT_EQ(utf16("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    EXPECT_EQ(utf16("e\xCC\x81"), u"e\u0301");
    const std::string edges =
        std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(utf16(edges), u"\x7F\x80\u07FF\u0800\uFFFF\xD800\xDC00\xDBFF\xDFFF");
    for (const std::string& text : {std::string("a.txt"), std::string("\xCE\xA9mega"), edges,
                                    std::string("caf\xC3\xA9/\xF0\x9F\x98\x80\\e\xCC\x81"), std::string()}) {
        EXPECT_EQ(utf8OfUtf16(utf16(text)), text);
        EXPECT_TRUE(isUtf8(text));
    }
    // An embedded NUL is a character like any other.
    EXPECT_EQ(utf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Utf8, RefusesWhatIsNotUtf8AndLeavesTheOutputAlone)
{
    const std::string refused[] = {
        "caf\xE9.txt",      // a code-page name (0xE9: e acute in code page 1252)
        "\x80",             // a continuation byte without a lead
        "\xC3",             // a sequence cut short at the end ...
        "\xC3.",            // ... or by another character
        "\xE6\x97",         //
        "\xC0\xAF",         // overlong forms: '/' in two bytes ...
        "\xC1\xBF",         //
        "\xE0\x80\xAF",     // ... in three ...
        "\xF0\x80\x80\xAF", // ... and in four
        "\xF4\x90\x80\x80", // above U+10FFFF
        "\xF5\x80\x80\x80", //
        "\xFF",             //
        "\xF8\x88\x80\x80\x80",
    };
    for (const std::string& text : refused) {
        std::u16string out = u"kept";
        EXPECT_FALSE(utf16OfUtf8(text, out)) << testing::PrintToString(text);
        EXPECT_EQ(out, u"kept");
        EXPECT_FALSE(isUtf8(text)) << testing::PrintToString(text);
    }
}

TEST(Utf8, KeepsLoneSurrogatesOfWindowsNames)
{
    // A name the system lists may hold a surrogate without its partner: it converts to the
    // three bytes of its code point and back to the same name, so its file can be opened.
    const std::u16string names[] = {std::u16string(u"a\xD800"
                                                   u"b"),
                                    std::u16string(1, u'\xDC00'), std::u16string(u"x\xDBFF"),
                                    std::u16string(u"\xDE00\xD83D")};
    for (const std::u16string& name : names) {
        std::string utf8 = utf8OfUtf16(name);
        EXPECT_TRUE(isUtf8(utf8));
        EXPECT_EQ(utf16(utf8), name);
    }
    EXPECT_EQ(utf8OfUtf16(u"a\xD800"
                          u"b"),
              "a\xED\xA0\x80"
              "b");
}
