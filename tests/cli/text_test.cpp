#include <gtest/gtest.h>

#include "text_conversion.h"

TEST(PathToUtf16, ConvertsValidUtf8) {
    EXPECT_EQ(rkcli::path_to_utf16("a/\xC3\xA9.jpg"), u"a/\u00E9.jpg");
    EXPECT_EQ(rkcli::path_to_utf16("\xE2\x82\xAC\xF0\x9F\x98\x80"), u"\u20AC\U0001F600");
}

TEST(PathToUtf16, RefusesWhatIsNotUtf8) {
    for (const char* bad : {"\xC3", "a\xE2\x82", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC3("}) {
        EXPECT_FALSE(rkcli::path_to_utf16(bad)) << bad;
    }
}

TEST(MessageToUtf8, KeepsPairsAndReplacesLoneSurrogates) {
    EXPECT_EQ(rkcli::message_to_utf8(u"\u00E9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ(rkcli::message_to_utf8(lone),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(rkcli::indent_lines("jpeglib error:\nNot a JPEG\n", "  "),
              "  jpeglib error:\n  Not a JPEG\n");
}

TEST(JoinDiagnostics, PrefixesRunOnIntoTheirReason) {
    EXPECT_EQ(rkcli::join_diagnostics({"jpeglib error:\n", "Not a JPEG", "DDS image loader: ",
                                       "File too small.", "pnglib warning: x", "done"}),
              "jpeglib error:\nNot a JPEG\nDDS image loader: File too small.\n"
              "pnglib warning: x\ndone");
}
