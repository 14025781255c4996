#include <gtest/gtest.h>

#include <string>

#include "common/file_io.h"
#include "common/sink.h"
#include "common/utf16.h"
#include "reliefkit.h"
#include "sink_recorder.h"

using namespace rk;

namespace {

TEST(Utf16, ConvertsBothWaysAndReplacesWhatIsInvalid) {
    const std::u16string s = u"a\u00e9\u0800\u20ac\U0001F600z";
    ASSERT_EQ(utf16_to_utf8(s), "a\xC3\xA9\xE0\xA0\x80\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(utf8_to_utf16(*utf16_to_utf8(s)), s);
    for (std::u16string bad : {std::u16string(1, u'\xD800'), std::u16string(u"x") + char16_t(0xDC00),
                               std::u16string(1, u'\xD800') + u"a"})
        EXPECT_FALSE(utf16_to_utf8(bad));
    // Invalid UTF-8 (cut, overlong) becomes replacement characters.
    const std::pair<const char*, const char16_t*> invalid[] = {
        {"a\xFF" "b", u"a\uFFFDb"}, {"\xE2\x82", u"\uFFFD\uFFFD"}, {"\xC0\x80", u"\uFFFD\uFFFD"},
        {"\xF0\x81\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}};
    for (auto [utf8, utf16] : invalid) EXPECT_EQ(utf8_to_utf16(utf8), utf16) << utf8;
}

TEST(Blocks, ComeZeroed) {
    const auto b = zeroed_block(17);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(b[i], 0);
}

// Silent until a sink is set; after it is unset nothing reaches the old one
// (the recorder is gone by then: the sanitizer build would see a late call).
TEST(Diagnostics, OneSinkCallPerTextAndSilentByDefault) {
    debug_output("nobody listens");
    {
        SinkRecorder sink;
        debug_output("TGA image loader: ");
        debug_output(std::u16string_view(u"Not a supported image \u00e9."));
        EXPECT_EQ(sink.texts(), (Texts{"TGA image loader: ", "Not a supported image \xC3\xA9."}));
    }
    debug_output("dropped");
}

}  // namespace
