#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/sink.h"
#include "common/file_io.h"
#include "common/utf16.h"
#include "temp_dir.h"
#include "reliefkit.h"

using namespace rk;

namespace {

std::u16string temp(const std::string& name) {
    return utf8_to_utf16(process_temp_dir().str() + name);
}

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

TEST(FileHandle, WritesTruncatesAndReadsExactly) {
    const std::u16string path = temp("/caf\xC3\xA9.bin");
    std::ofstream(process_temp_dir().str() + "/caf\xC3\xA9.bin") << "a much longer first content";
    {
        FileHandle out(path, false, true, false, false);
        ASSERT_FALSE(out.failed());
        EXPECT_EQ(file_write(out, "hello world", 11), 11u);
        EXPECT_EQ(file_write(out, nullptr, 3), 0u);
        EXPECT_EQ(file_write(out, "x", 0), 0u);
    }
    FileHandle in(path, true, false, true, false);
    ASSERT_FALSE(in.failed());
    EXPECT_EQ(in.size(), 11u);
    char buf[16] = {};
    EXPECT_TRUE(file_read_exact(in, buf, 5));
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_TRUE(in.seek(6));
    EXPECT_TRUE(file_read_exact(in, buf, 5));
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_FALSE(file_read_exact(in, buf, 1));  // past the end: short read
    EXPECT_TRUE(in.seek(3));
    EXPECT_EQ(file_read_some(in, buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "lo wo");
    EXPECT_EQ(file_read_some(in, buf, 8), 3u);  // only the last three remain
    EXPECT_EQ(file_read_some(in, buf, 8), 0u);
    EXPECT_TRUE(in.seek(8));
    EXPECT_FALSE(file_read_exact(in, buf, 4));  // only 3 left
}

TEST(FileHandle, OpenFailures) {
    FileHandle in(temp("/missing.bin"), true, false, true, false);
    EXPECT_TRUE(in.failed());
    char buf[1];
    EXPECT_FALSE(file_read_exact(in, buf, 1));
    EXPECT_EQ(file_read_some(in, buf, 1), 0u);
    EXPECT_EQ(file_write(in, "x", 1), 0u);
    EXPECT_EQ(in.size(), UINT64_MAX);
    EXPECT_TRUE(FileHandle(u"", true, false, true, false).failed());
    EXPECT_TRUE(FileHandle(temp(""), true, false, true, false).failed());  // a directory
    EXPECT_TRUE(FileHandle(temp("/no/such/dir/f"), false, true, false, false).failed());
    EXPECT_TRUE(FileHandle(temp("/x") + char16_t(0xD800), false, true, false, false).failed());
}

TEST(Blocks, ZeroedAndOverflowChecked) {
    auto b = zeroed_block(17);
    auto w = zeroed_block16(9);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(b[i] + w[i % 9], 0);
    EXPECT_THROW(zeroed_block16(SIZE_MAX / 2 + 1), std::bad_alloc);
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
