#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/sink.h"
#include "common/utf16.h"
#include "reliefkit.h"

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

// FileHandle's reads are what every loader test goes through.
TEST(Blocks, ComeZeroed) {
    const auto b = zeroed_block(17);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(b[i], 0);
}

void collect(const char* text, void* user) {
    static_cast<std::vector<std::string>*>(user)->push_back(text);
}

TEST(Diagnostics, OneSinkCallPerTextAndSilentByDefault) {
    debug_output("nobody listens");
    std::vector<std::string> got;
    set_debug_output(collect, &got);
    debug_output("TGA image loader: ");
    debug_output(std::u16string_view(u"Not a supported image \u00e9."));
    set_debug_output(nullptr, &got);
    debug_output("dropped");
    EXPECT_EQ(got, (std::vector<std::string>{"TGA image loader: ", "Not a supported image \xC3\xA9."}));
}

}  // namespace
