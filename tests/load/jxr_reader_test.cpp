// The JPEG XR reader on committed jxrlib files (see tests/data/jxr/README).
#include <gtest/gtest.h>

#include <array>

#include "load/readers.h"
#include "common/utf16.h"
#include "load_test_support.h"

namespace {

const std::string kData = RK_TEST_DATA "/jxr/";

// Blue, green, red as stored in bgr24_20x18.jxr.
std::array<uint8_t, 3> stored_bgr(uint32_t x, uint32_t y) {
    if (x == 0 && y == 0) return {0x10, 0x80, 0xFF};
    return {static_cast<uint8_t>(x * 13 + y * 7), static_cast<uint8_t>(x * 5 + y * 29 + 3),
            static_cast<uint8_t>(x * y * 3 + 11)};
}

rk::ImgbufPtr load(const std::string& utf8_path) {
    return rk::load_jxr(rk::utf8_to_utf16(utf8_path));
}

TEST(JxrReader, Bgr24LoadsEveryPixelExactly) {
    const rk::ImgbufPtr image = load(kData + "bgr24_20x18.jxr");
    ASSERT_TRUE(image);
    ASSERT_EQ(imgbuf_w(image.get()), 20u);
    ASSERT_EQ(imgbuf_h(image.get()), 18u);
    for (uint32_t y = 0; y < 18; ++y) {
        for (uint32_t x = 0; x < 20; ++x) {
            const auto bgr = stored_bgr(x, y);
            expect_px(image.get(), x, y, {bgr[2] / 255.0f, bgr[1] / 255.0f, bgr[0] / 255.0f, 1.0f});
        }
    }
}

// jxrlib picks its decoder by extension alone, whatever the file holds; a name
// outside ASCII reaches it as UTF-8.
TEST(JxrReader, ExtensionDecides) {
    const Bytes bgr = read_bytes(kData + "bgr24_20x18.jxr");
    for (auto [name, loads] : {std::pair{"upper.JXR", true}, {"photo.wdp", true}, {"photo.hdp", true},
                               {"relief_\xC3\xA9\xE2\x82\xAC.jxr", true}, {"really.jxr.png", false}})
        EXPECT_EQ(static_cast<bool>(load(write_temp(name, bgr))), loads) << name;
}

TEST(JxrReader, PathsAreConvertedToUtf8) {
    // U+0161 keeps 0x61 ('a') as its low byte: only the real name may be opened
    // (and narrow_\u0161.jxr is missing).
    write_temp("narrow_a.jxr", read_bytes(kData + "bgr24_20x18.jxr"));
    EXPECT_FALSE(load(temp_path("narrow_\xC5\xA1.jxr")));
    std::u16string unpaired = rk::utf8_to_utf16(temp_path("narrow_a.jxr"));
    unpaired.insert(unpaired.size() - 4, 1, char16_t(0xD800));
    EXPECT_FALSE(rk::load_jxr(unpaired));
}

}  // namespace
