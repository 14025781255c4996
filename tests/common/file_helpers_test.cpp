#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

std::string temp_dir() {
    return process_temp_dir().str();
}

std::u16string u16(const std::string& s) {
    return utf8_to_utf16(s);
}

}  // namespace

TEST(Utf16, RoundTripsEveryPlane) {
    const std::u16string s = u"a\u00e9\u0800\u20ac\U0001F600z";
    auto utf8 = utf16_to_utf8(s);
    ASSERT_TRUE(utf8);
    EXPECT_EQ(*utf8, "a\xC3\xA9\xE0\xA0\x80\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(utf8_to_utf16(*utf8), s);
}

TEST(Utf16, UnpairedSurrogatesAreRefused) {
    for (std::u16string bad :
         {std::u16string(1, u'\xD800'), std::u16string(u"x") + char16_t(0xDC00),
          std::u16string(1, u'\xD800') + u"a"}) {
        EXPECT_FALSE(utf16_to_utf8(bad));
    }
}

TEST(Utf16, InvalidUtf8BecomesReplacement) {
    EXPECT_EQ(utf8_to_utf16("a\xFF"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8_to_utf16("\xE2\x82"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16("\xC0\x80"), u"\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(utf8_to_utf16("\xF0\x81\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(FileHandle, WriteThenReadExact) {
    const std::string path = temp_dir() + "/caf\xC3\xA9.bin";
    {
        FileHandle out(u16(path), false, true, false, false);
        ASSERT_FALSE(out.failed());
        EXPECT_EQ(file_write(out, "hello world", 11), 11u);
        EXPECT_EQ(file_write(out, nullptr, 3), 0u);
        EXPECT_EQ(file_write(out, "x", 0), 0u);
    }
    FileHandle in(u16(path), true, false, true, false);
    ASSERT_FALSE(in.failed());
    EXPECT_EQ(in.size(), 11u);
    char buf[16] = {};
    EXPECT_TRUE(file_read_exact(in, buf, 5));
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_TRUE(in.seek(6));
    EXPECT_TRUE(file_read_exact(in, buf, 5));
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_FALSE(file_read_exact(in, buf, 1));  // past the end: short read
    EXPECT_TRUE(in.seek(8));
    EXPECT_FALSE(file_read_exact(in, buf, 4));  // only 3 left
}

TEST(FileHandle, ReadSomeStopsAtTheEnd) {
    const std::string path = temp_dir() + "/some.bin";
    std::ofstream(path) << "0123456789";
    FileHandle in(u16(path), true, false, true, false);
    char buf[8] = {};
    EXPECT_EQ(file_read_some(in, buf, 8), 8u);
    EXPECT_EQ(std::string(buf, 8), "01234567");
    EXPECT_EQ(file_read_some(in, buf, 8), 2u);  // only the last two remain
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(file_read_some(in, buf, 8), 0u);
    FileHandle missing(u16(temp_dir() + "/none.bin"), true, false, true, false);
    EXPECT_EQ(file_read_some(missing, buf, 8), 0u);
}

TEST(FileHandle, WriteTruncatesExistingFile) {
    const std::string path = temp_dir() + "/trunc.bin";
    std::ofstream(path) << "a long first content";
    {
        FileHandle out(u16(path), false, true, false, false);
        EXPECT_EQ(file_write(out, "ab", 2), 2u);
    }
    FileHandle in(u16(path), true, false, true, false);
    EXPECT_EQ(in.size(), 2u);
}

TEST(FileHandle, OpenFailures) {
    const std::u16string missing = u16(temp_dir() + "/missing.bin");
    FileHandle in(missing, true, false, true, false);
    EXPECT_TRUE(in.failed());
    char buf[1];
    EXPECT_FALSE(file_read_exact(in, buf, 1));
    EXPECT_EQ(file_write(in, "x", 1), 0u);
    EXPECT_EQ(in.size(), UINT64_MAX);

    EXPECT_TRUE(FileHandle(u"", true, false, true, false).failed());
    EXPECT_TRUE(FileHandle(u16(temp_dir()), true, false, true, false).failed());  // a directory
    EXPECT_TRUE(
        FileHandle(u16(temp_dir() + "/no/such/dir/f"), false, true, false, false).failed());
    std::u16string lone = u16(temp_dir() + "/x");
    lone += char16_t(0xD800);
    EXPECT_TRUE(FileHandle(lone, false, true, false, false).failed());
}

TEST(Blocks, ZeroedAndOverflowChecked) {
    auto b = zeroed_block(17);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(b[i], 0);
    auto w = zeroed_block16(9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(w[i], 0);
    EXPECT_THROW(zeroed_block16(SIZE_MAX / 2 + 1), std::bad_alloc);
}

namespace {
void collect(const char* text, void* user) {
    static_cast<std::vector<std::string>*>(user)->push_back(text);
}
}  // namespace

TEST(Diagnostics, OneSinkCallPerTextAndSilentByDefault) {
    debug_output("nobody listens");
    std::vector<std::string> got;
    set_debug_output(collect, &got);
    debug_output("TGA image loader: ");
    debug_output(std::u16string_view(u"Not a supported image \u00e9."));
    set_debug_output(nullptr, &got);
    debug_output("dropped");
    EXPECT_EQ(got,
              (std::vector<std::string>{"TGA image loader: ", "Not a supported image \xC3\xA9."}));
}
