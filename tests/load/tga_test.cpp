#include <gtest/gtest.h>

#include <string>

#include "byte_file.h"
#include "image_helpers.h"
#include "load/readers.h"

namespace {

struct TgaHeader {
    uint16_t width = 1;
    uint16_t height = 1;
    uint8_t depth = 24;
    uint8_t descriptor = 0;
    uint8_t colormap_type = 0;
    uint8_t image_type = 2;
    uint8_t id_length = 0;
};

Bytes tga(const TgaHeader& s, const Bytes& pixels) {
    Bytes b;
    put8(b, s.id_length);
    put8(b, s.colormap_type);
    put8(b, s.image_type);
    b.resize(12, 0);  // colour-map fields and origin
    put16(b, s.width);
    put16(b, s.height);
    put8(b, s.depth);
    put8(b, s.descriptor);
    b.resize(b.size() + s.id_length, 0x5A);
    append(b, pixels);
    return b;
}

// A version-2 footer naming an extension area at extension_offset.
Bytes footer(uint32_t extension_offset) {
    Bytes b;
    put32(b, extension_offset);
    put32(b, 0);
    for (char c : std::string("TRUEVISION-XFILE.")) put8(b, c);
    put8(b, 0);
    return b;
}

auto load(const Bytes& file) {
    return load_with(rk::load_tga, file);
}

struct LayoutCase {
    const char* name;
    friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
    uint8_t depth;
    uint8_t alpha_bits;
    Bytes pixels;  // two stored pixels
    Px first, second;
};

class TgaLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(TgaLayout, ConvertsExactly) {
    const LayoutCase& c = GetParam();
    auto [img, message] = load(tga({2, 1, c.depth, uint8_t(0x20 | c.alpha_bits)}, c.pixels));
    ASSERT_TRUE(img) << text(message);
    EXPECT_TRUE(message.empty());
    expect_px(img.get(), 0, 0, c.first);
    expect_px(img.get(), 1, 0, c.second);
}

const float k128 = 0.5019608f;  // 128 / 255

INSTANTIATE_TEST_SUITE_P(
    AllLayouts, TgaLayout,
    ::testing::Values(
        LayoutCase{"d15",
                   15,
                   0,
                   {0xFF, 0xFF, 0x08, 0x21},
                   {1, 1, 1, 1},
                   {unorm(8, 31), unorm(8, 31), unorm(8, 31), 1}},
        LayoutCase{"d16", 16, 0, {0xFF, 0xFF, 0xE0, 0x03}, {1, 1, 1, 1}, {0, 1, 0, 1}},
        LayoutCase{"d16a1", 16, 1, {0xFF, 0xFF, 0x00, 0x7C}, {1, 1, 1, 1}, {1, 0, 0, 0}},
        LayoutCase{"d24",
                   24,
                   0,
                   {0x00, 0x80, 0xFF, 0x10, 0x20, 0x30},
                   {1, k128, 0, 1},
                   {unorm(0x30, 255), unorm(0x20, 255), unorm(0x10, 255), 1}},
        LayoutCase{"d32a8",
                   32,
                   8,
                   {0x00, 0x80, 0xFF, 0x40, 0x01, 0x02, 0x03, 0xFF},
                   {1, k128, 0, unorm(0x40, 255)},
                   {unorm(3, 255), unorm(2, 255), unorm(1, 255), 1}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every orientation of a 3 x 2 file whose blue byte numbers the pixels in file order.
TEST(Tga, OrientationBitsPlaceRowsAndColumns) {
    Bytes pixels;
    for (uint8_t i = 0; i < 6; ++i) append(pixels, {i, 0, 0});
    for (uint8_t descriptor : {0x00, 0x10, 0x20, 0x30}) {
        auto [img, message] = load(tga({3, 2, 24, descriptor}, pixels));
        ASSERT_TRUE(img);
        const bool top_down = descriptor & 0x20;
        const bool right_to_left = descriptor & 0x10;
        for (uint32_t r = 0; r < 2; ++r) {
            for (uint32_t i = 0; i < 3; ++i) {
                const uint32_t y = top_down ? r : 1 - r;
                const uint32_t x = right_to_left ? 2 - i : i;
                SCOPED_TRACE(::testing::Message() << "descriptor " << int(descriptor));
                expect_px(img.get(), x, y, {0, 0, unorm(3 * r + i, 255), 1});
            }
        }
    }
}

TEST(Tga, AcceptedFileShapes) {
    const Bytes px = {0x00, 0x80, 0xFF};
    const Bytes one = tga({}, px);
    Bytes with_extension = one;  // pixels, 495-byte extension area, footer
    with_extension.resize(one.size() + 495, 0);
    append(with_extension, footer(static_cast<uint32_t>(one.size())));
    Bytes version1 = one;  // trailing bytes but no signature
    version1.resize(one.size() + 60, 0x33);
    TgaHeader with_id;
    with_id.id_length = 20;
    ASSERT_EQ(one.size(), 21u);  // too short to look for a footer

    for (const Bytes& file : {one, with_extension, version1, tga(with_id, px)}) {
        auto [img, message] = load(file);
        ASSERT_TRUE(img) << text(message);
        expect_px(img.get(), 0, 0, {1, k128, 0, 1});
    }
}

struct Refusal {
    const char* name;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }
    Bytes file;
    const char16_t* message;
};

class TgaRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TgaRefusal, GivesItsMessage) {
    auto [img, message] = load(GetParam().file);
    EXPECT_FALSE(img);
    EXPECT_EQ(message, GetParam().message);
}

Bytes with_footer(Bytes file, uint32_t extension_offset) {
    append(file, footer(extension_offset));
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TgaRefusal,
    ::testing::Values(
        Refusal{"short17", Bytes(17, 0), u"File too small."},
        Refusal{"colormap", tga({.colormap_type = 1, .image_type = 1}, {1}),
                u"Files with colormaps (palettes) are not supported."},
        Refusal{"rle", tga({.image_type = 10}, {1, 2, 3}),
                u"Only uncompressed truecolor files supported."},
        Refusal{"d32a0", tga({.depth = 32}, {1, 2, 3, 4}), u"Unsupported pixel format."},
        Refusal{"d24a8", tga({.depth = 24, .descriptor = 8}, {1, 2, 3}),
                u"Unsupported pixel format."},
        Refusal{"mid_row", tga({.width = 2, .height = 2}, Bytes(9, 1)),
                u"I/O error while reading image data."},
        Refusal{"extension_past_end", with_footer(tga({}, {1, 2, 3}), 5000),
                u"I/O error while reading extension area."},
        // 16-bit sides can describe float data of 2^32 bytes and more.
        Refusal{"huge", tga({.width = 65535, .height = 65535}, {1, 2, 3}),
                u"Image data too large."},
        // Fits the record (just below 2^32 bytes) but the file holds three bytes:
        // refused without allocating 4 GiB first.
        Refusal{"largest_short", tga({.width = 65535, .height = 4096}, {1, 2, 3}),
                u"I/O error while reading image data."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tga, MissingFile) {
    std::u16string message;
    EXPECT_FALSE(rk::load_tga(missing_file(), message));
    EXPECT_EQ(message, u"Could not open file.");
}

TEST(Tga, ExtremeSidesLoadAtTheirSize) {
    struct Case {
        uint16_t w, h;
    };
    for (Case c : {Case{0, 65535}, Case{65535, 1}, Case{1, 65535}}) {
        const Bytes pixels(size_t{c.w} * c.h * 2, 0xFF);
        auto [img, message] = load(tga({c.w, c.h, 16, 0x21}, pixels));
        ASSERT_TRUE(img) << c.w << "x" << c.h;
        EXPECT_EQ(imgbuf_w(img.get()), c.w);
        EXPECT_EQ(imgbuf_h(img.get()), c.h);
        if (c.w && c.h) expect_px(img.get(), c.w - 1, c.h - 1, {1, 1, 1, 1});
    }
}

}  // namespace
