#include <gtest/gtest.h>

#include "load/readers.h"
#include "load_test_support.h"

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
    Bytes b = {s.id_length, s.colormap_type, s.image_type};
    b.resize(12, 0);  // colour-map fields and origin
    put_le(b, s.width, 2);
    put_le(b, s.height, 2);
    append(b, {s.depth, s.descriptor});
    b.resize(b.size() + s.id_length, 0x5A);
    append(b, pixels);
    return b;
}

// A version-2 footer naming an extension area at extension_offset.
Bytes with_footer(Bytes b, uint32_t extension_offset) {
    put_le(b, extension_offset, 4);
    put_le(b, 0, 4);
    const char signature[] = "TRUEVISION-XFILE.";
    b.insert(b.end(), signature, signature + sizeof signature);
    return b;
}

float u8(uint32_t v) { return unorm(v, 255); }

TEST(Tga, LayoutsConvertExactly) {
    struct Case {
        uint8_t depth, alpha_bits;
        Bytes pixels;  // two stored pixels
        Px first, second;
    };
    // clang-format off
    const Case cases[] = {
        {16, 0, {0xFF, 0xFF, 0xE0, 0x03}, {1, 1, 1, 1}, {0, 1, 0, 1}},
        {16, 1, {0xFF, 0xFF, 0x00, 0x7C}, {1, 1, 1, 1}, {1, 0, 0, 0}},
        {24, 0, {0x00, 0x80, 0xFF, 0x10, 0x20, 0x30}, {1, u8(128), 0, 1}, {u8(0x30), u8(0x20), u8(0x10), 1}},
        {32, 8, {0x00, 0x80, 0xFF, 0x40, 0x01, 0x02, 0x03, 0xFF}, {1, u8(128), 0, u8(0x40)}, {u8(3), u8(2), u8(1), 1}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "depth " << int(c.depth) << " alpha " << int(c.alpha_bits));
        const Bytes file = tga({2, 1, c.depth, uint8_t(0x20 | c.alpha_bits)}, c.pixels);
        auto [img, message] = load_with(rk::load_tga, file);
        ASSERT_TRUE(img) << text(message);
        EXPECT_TRUE(message.empty());
        expect_px(img.get(), 0, 0, c.first);
        expect_px(img.get(), 1, 0, c.second);
    }
}

// Every orientation of a 3 x 2 file whose blue byte numbers the pixels in file order.
TEST(Tga, OrientationBitsPlaceRowsAndColumns) {
    Bytes pixels;
    for (uint8_t i = 0; i < 6; ++i) append(pixels, {i, 0, 0});
    for (uint8_t descriptor : {0x00, 0x10, 0x20, 0x30}) {
        auto [img, message] = load_with(rk::load_tga, tga({3, 2, 24, descriptor}, pixels));
        ASSERT_TRUE(img);
        SCOPED_TRACE(::testing::Message() << "descriptor " << int(descriptor));
        for (uint32_t i = 0; i < 6; ++i) {
            const uint32_t x = descriptor & 0x10 ? 2 - i % 3 : i % 3, y = descriptor & 0x20 ? i / 3 : 1 - i / 3;
            expect_px(img.get(), x, y, {0, 0, unorm(i, 255), 1});
        }
    }
}

// Refusals with their messages; the shapes a file may take around its pixels,
// and sides at the edges of 16 bits, which load at their size.
class TgaFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(TgaFile, LoadsOrGivesItsMessage) {
    expect_loads_or_refuses(rk::load_tga, GetParam());
}

Bytes a1r5g5b5(uint16_t w, uint16_t h) {
    return tga({w, h, 16, 0x21}, Bytes(size_t{w} * h * 2, 0xFF));
}

Bytes padded(Bytes b, size_t more, uint8_t fill) {
    b.resize(b.size() + more, fill);
    return b;
}
const Bytes kWhite = tga({}, {0xFF, 0xFF, 0xFF});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, TgaFile, ::testing::Values(
    FileCase{"short17", Bytes(17, 0), u"File too small."},
    FileCase{"colormap", tga({.colormap_type = 1, .image_type = 1}, {1}), u"Files with colormaps (palettes) are not supported."},
    FileCase{"rle", tga({.image_type = 10}, {1, 2, 3}), u"Only uncompressed truecolor files supported."},
    FileCase{"d32a0", tga({.depth = 32}, {1, 2, 3, 4}), u"Unsupported pixel format."},
    FileCase{"mid_row", tga({.width = 2, .height = 2}, Bytes(9, 1)), u"I/O error while reading image data."},
    FileCase{"extension_past_end", with_footer(tga({}, {1, 2, 3}), 5000), u"I/O error while reading extension area."},
    FileCase{"missing", std::nullopt, u"Could not open file."},
    // 21 bytes are too short to hold a footer; trailing bytes without the
    // signature are no footer; a footer may name an extension area.
    FileCase{"no_footer", kWhite, nullptr, 1, 1},
    FileCase{"trailing_bytes", padded(kWhite, 60, 0x33), nullptr, 1, 1},
    FileCase{"extension_area", with_footer(padded(kWhite, 495, 0), 21), nullptr, 1, 1},
    FileCase{"id_field", tga({.id_length = 20}, {0xFF, 0xFF, 0xFF}), nullptr, 1, 1},
    FileCase{"w0", a1r5g5b5(0, 65535), nullptr, 0, 65535},
    FileCase{"h1", a1r5g5b5(65535, 1), nullptr, 65535, 1},
    FileCase{"w1", a1r5g5b5(1, 65535), nullptr, 1, 65535}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
