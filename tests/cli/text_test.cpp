#include <gtest/gtest.h>

#include "text.h"

struct PathCase {
    std::string utf8;
    std::optional<std::u16string> utf16;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    for (unsigned char b : c.utf8) *os << std::hex << int(b) << ' ';
}

class PathToUtf16 : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathToUtf16, ConvertsOrRefuses) {
    EXPECT_EQ(rkcli::path_to_utf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathToUtf16,
    ::testing::Values(PathCase{"", u""}, PathCase{"a/b.png", u"a/b.png"},
                      PathCase{"\xC3\xA9t\xC3\xA9.jpg", u"\u00E9t\u00E9.jpg"},
                      PathCase{"\xE2\x82\xAC", u"\u20AC"},
                      PathCase{"\xF0\x9F\x98\x80", u"\U0001F600"},     // surrogate pair
                      PathCase{"\xC3", std::nullopt},                  // cut short
                      PathCase{"a\xE2\x82", std::nullopt},             // cut short
                      PathCase{"\x80", std::nullopt},                  // stray continuation
                      PathCase{"\xC0\xAF", std::nullopt},              // overlong '/'
                      PathCase{"\xE0\x80\xAF", std::nullopt},          // overlong '/'
                      PathCase{"\xED\xA0\x80", std::nullopt},          // a surrogate
                      PathCase{"\xF4\x90\x80\x80", std::nullopt},      // above U+10FFFF
                      PathCase{"\xF8\x88\x80\x80\x80", std::nullopt},  // five bytes
                      PathCase{"\xC3(", std::nullopt}));

TEST(MessageToUtf8, KeepsPairsAndReplacesLoneSurrogates) {
    EXPECT_EQ(rkcli::message_to_utf8(u"Could not open output file."),
              "Could not open output file.");
    EXPECT_EQ(rkcli::message_to_utf8(u"\u00E9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(rkcli::message_to_utf8(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
}

TEST(IndentLines, PrefixesEveryLine) {
    EXPECT_EQ(rkcli::indent_lines("jpeglib error:\nNot a JPEG file", "  "),
              "  jpeglib error:\n  Not a JPEG file\n");
    EXPECT_EQ(rkcli::indent_lines("one\n", "> "), "> one\n");
    EXPECT_EQ(rkcli::indent_lines("", "> "), "");
}
