#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <tuple>

#include "load/readers.h"
#include "load_test_support.h"

namespace {

struct Pf {
    uint32_t flags, fourcc, bits, r, g, b, a;
};

constexpr uint32_t cc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

constexpr Pf kA8R8G8B8 = {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000};
constexpr Pf kL8 = {0x20000, 0, 8, 0xFF, 0, 0, 0};
constexpr Pf kDxt1 = {4, cc("DXT1"), 0, 0, 0, 0, 0};
constexpr Pf kDxt3 = {4, cc("DXT3"), 0, 0, 0, 0, 0};
constexpr Pf kDxt5 = {4, cc("DXT5"), 0, 0, 0, 0, 0};

Bytes dds(uint32_t w, uint32_t h, Pf pf, const Bytes& data, uint32_t caps2 = 0) {
    Bytes b;
    for (uint32_t v : {0x20534444u, 124u, 0x1007u, h, w}) put_le(b, v, 4);
    b.resize(76, 0);
    for (uint32_t v : {32u, pf.flags, pf.fourcc, pf.bits, pf.r, pf.g, pf.b, pf.a, 0x1000u, caps2})
        put_le(b, v, 4);
    b.resize(128, 0);
    append(b, data);
    return b;
}

// Little-endian words of Size bytes (floats by their bits).
template <int Size, class T>
Bytes words(std::initializer_list<T> vs) {
    Bytes b;
    for (T v : vs) put_le(b, std::is_same_v<T, float> ? std::bit_cast<uint32_t>(v) : uint32_t(v), Size);
    return b;
}
const auto u16s = words<2, uint32_t>;
const auto u32s = words<4, uint32_t>;
const auto f32s = words<4, float>;

const float kNan = std::bit_cast<float>(0x7FC00123u);
const float kInf = std::numeric_limits<float>::infinity();
const float kMax = std::numeric_limits<float>::max();
float u8(uint32_t v) { return unorm(v, 255); }
float u4(uint32_t v) { return unorm(v, 15); }
const float kHalf16 = 0.50000763f;  // 32768 / 65535

// Two stored pixels of each per-pixel template and what they decode to.
TEST(Dds, EveryPixelTemplateDecodesExactly) {
    struct Case {
        const char* name;
        Pf pf;
        Bytes pixels;
        Px first, second;
    };
    // clang-format off
    const Case cases[] = {
        {"A8B8G8R8", {0x41, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000}, u32s({0x80402010, 0xFF}), {u8(16), u8(32), u8(64), u8(128)}, {1, 0, 0, 0}},
        {"A2B10G10R10", {0x41, 0, 32, 0x3FF, 0xFFC00, 0x3FF00000, 0}, u32s({0xBFF00001, 0x40001400}), {unorm(1, 1023), 0, 1, unorm(2, 3)}, {0, unorm(5, 1023), 0, unorm(1, 3)}},
        {"G16R16", {0x40, 0, 32, 0xFFFF, 0xFFFF0000, 0, 0}, u32s({0x0001FFFF, 0}), {1, unorm(1, 65535), 0, 1}, {0, 0, 0, 1}},
        {"A1R5G5B5", {0x41, 0, 16, 0x7C00, 0x03E0, 0x001F, 0x8000}, u16s({0x8000, 0x7FFF}), {0, 0, 0, 1}, {1, 1, 1, 0}},
        {"R5G6B5", {0x40, 0, 16, 0xF800, 0x07E0, 0x001F, 0}, u16s({0xF800, 0x0841}), {1, 0, 0, 1}, {unorm(1, 31), unorm(2, 63), unorm(1, 31), 1}},
        {"A8", {0x02, 0, 8, 0, 0, 0, 0xFF}, {0x80, 0xFF}, {0, 0, 0, u8(128)}, {0, 0, 0, 1}},
        {"A8R8G8B8", {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000}, u32s({0x80402010, 0xFF0000}), {u8(64), u8(32), u8(16), u8(128)}, {1, 0, 0, 0}},
        {"X8R8G8B8", {0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0}, u32s({0x80402010, 0xFF0000}), {u8(64), u8(32), u8(16), 1}, {1, 0, 0, 1}},
        {"X8B8G8R8", {0x40, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0}, u32s({0x80402010, 0xFF}), {u8(16), u8(32), u8(64), 1}, {1, 0, 0, 1}},
        {"A2R10G10B10", {0x41, 0, 32, 0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}, u32s({0x40000000 | (1 << 20) | (0x3FF << 10), 0xC0000007}), {unorm(1, 1023), 1, 0, unorm(1, 3)}, {0, 0, unorm(7, 1023), 1}},
        {"R8G8B8", {0x40, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0}, {0x10, 0x20, 0x30, 0xFF, 0, 0}, {u8(0x30), u8(32), u8(16), 1}, {0, 0, 1, 1}},
        {"X1R5G5B5", {0x40, 0, 16, 0x7C00, 0x03E0, 0x001F, 0}, u16s({0x8000, 0x7FFF}), {0, 0, 0, 1}, {1, 1, 1, 1}},
        {"A4R4G4B4", {0x41, 0, 16, 0x0F00, 0x00F0, 0x000F, 0xF000}, u16s({0x1234, 0xF000}), {u4(2), u4(3), u4(4), u4(1)}, {0, 0, 0, 1}},
        {"X4R4G4B4", {0x40, 0, 16, 0x0F00, 0x00F0, 0x000F, 0}, u16s({0x1234, 0xF000}), {u4(2), u4(3), u4(4), 1}, {0, 0, 0, 1}},
        {"A8R3G3B2", {0x41, 0, 16, 0xE0, 0x1C, 0x03, 0xFF00}, u16s({0x80E5, 0x00FF}), {1, unorm(1, 7), unorm(1, 3), u8(128)}, {1, 1, 1, 0}},
        {"A8L8", {0x20000, 0, 16, 0xFF, 0, 0, 0xFF00}, {0x40, 0x80, 0xFF, 0x01}, {u8(64), u8(64), u8(64), u8(128)}, {1, 1, 1, u8(1)}},
        {"L16", {0x20000, 0, 16, 0xFFFF, 0, 0, 0}, u16s({0x8000, 0xFFFF}), {kHalf16, kHalf16, kHalf16, 1}, {1, 1, 1, 1}},
        {"L8", {0x20000, 0, 8, 0xFF, 0, 0, 0}, {0x40, 0xFF}, {u8(64), u8(64), u8(64), 1}, {1, 1, 1, 1}},
        {"A4L4", {0x20000, 0, 8, 0x0F, 0, 0, 0xF0}, {0x3C, 0xF0}, {u4(12), u4(12), u4(12), u4(3)}, {0, 0, 0, 1}},
        {"A16B16G16R16", {4, 36, 0, 0, 0, 0, 0}, u16s({0xFFFF, 0, 0, 0x8000, 1, 2, 3, 0xFFFF}), {1, 0, 0, kHalf16}, {unorm(1, 65535), unorm(2, 65535), unorm(3, 65535), 1}},
        {"R32F", {4, 114, 0, 0, 0, 0, 0}, f32s({7.5f, kNan}), {7.5f, 0, 0, 1}, {kNan, 0, 0, 1}},
        {"G32R32F", {4, 115, 0, 0, 0, 0, 0}, f32s({-1.25f, kMax, kInf, -0.0f}), {-1.25f, kMax, 0, 1}, {kInf, -0.0f, 0, 1}},
        {"A32B32G32R32F", {4, 116, 0, 0, 0, 0, 0}, f32s({kNan, 7.5f, -0.0f, kInf, 2.0f, -3.0f, 0.25f, 1e-45f}), {kNan, 7.5f, -0.0f, kInf}, {2.0f, -3.0f, 0.25f, 1e-45f}},
    };
    // clang-format on
    for (const Case& c : cases) {
        auto [img, message] = load_with(rk::load_dds, dds(2, 1, c.pf, c.pixels));
        ASSERT_TRUE(img) << c.name << ": " << text(message);
        EXPECT_TRUE(message.empty());
        SCOPED_TRACE(c.name);
        expect_px(img.get(), 0, 0, c.first);
        expect_px(img.get(), 1, 0, c.second);
    }
}

// One 4 x 4 colour block: endpoints and 2-bit indices, row y in byte y.
Bytes colour_block(uint32_t c0, uint32_t c1, uint32_t indices) {
    return u32s({c0 | c1 << 16, indices});
}
constexpr uint32_t kIndexIsColumn = 0xE4E4E4E4;  // pixel (x, y) takes index x
const float k1_3 = 0.33333334f;
const float k2_3 = 0.6666667f;

// Each case is one 4 x 4 block whose pixel i (row-major) must be want[i % 4] for
// DXT1 and DXT3 (indices by column), or carry alpha want[i % 8] for DXT5.
TEST(DdsBlocks, PalettesAndAlphaDecodeExactly) {
    struct Case {
        Pf pf;
        Bytes alpha;  // DXT3 nibbles or DXT5 endpoints and indices
        uint32_t c0, c1;
        std::vector<Px> want;
    };
    // Alpha endpoints, then 3-bit indices by which pixel i takes index i % 8.
    auto dxt5 = [](uint8_t a0, uint8_t a1) {
        return Bytes{a0, a1, 0x88, 0xC6, 0xFA, 0x88, 0xC6, 0xFA};
    };
    auto alphas = [](std::vector<float> a) { std::vector<Px> p; for (float v : a) p.push_back({1, 1, 1, v}); return p; };
    // clang-format off
    const Case cases[] = {
        // equal endpoints: three colours and opaque black
        {kDxt1, {}, 0x07E0, 0x07E0, {{0, 1, 0, 1}, {0, 1, 0, 1}, {0, 1, 0, 1}, {0, 0, 0, 1}}},
        // blends multiply by 0.33333334 (a division by 3 differs in the last bit)
        {kDxt1, {}, 0x9800, 0x0000, {{unorm(19, 31), 0, 0, 1}, {0, 0, 0, 1}, {0.408602178f, 0, 0, 1}, {0.204301089f, 0, 0, 1}}},
        // c0 < c1: the midpoint and opaque black
        {kDxt1, {}, 0x001F, 0xF800, {{0, 0, 1, 1}, {1, 0, 0, 1}, {0.5f, 0, 0.5f, 1}, {0, 0, 0, 1}}},
        // DXT3 always has four colours, blended by thirds; its alpha is checked below
        {kDxt3, u32s({0x76543210, 0xFEDCBA98}), 0x001F, 0xF800, {{0, 0, 1}, {1, 0, 0}, {k1_3, 0, k2_3}, {k2_3, 0, k1_3}}},
        {kDxt5, dxt5(0, 255), 0xFFFF, 0xFFFF, alphas({0, 1, 0.2f, 0.4f, 0.6f, 0.8f, 0, 1})},
        // multiplied by 0.14285715, not divided by 7: differs in the last bit
        {kDxt5, dxt5(1, 0), 0xFFFF, 0xFFFF, alphas({u8(1), 0, 0.00336134504f, 0.00280112075f, 0.00224089669f, 0.00168067252f, 0.00112044835f, 0.000560224173f})},
    };
    // clang-format on
    for (const Case& c : cases) {
        Bytes block = c.alpha;
        append(block, colour_block(c.c0, c.c1, c.pf.fourcc == kDxt5.fourcc ? 0 : kIndexIsColumn));
        auto [img, message] = load_with(rk::load_dds, dds(4, 4, c.pf, block));
        ASSERT_TRUE(img) << text(message);
        for (uint32_t i = 0; i < 16; ++i) {
            Px want = c.want[i % c.want.size()];
            if (c.pf.fourcc == kDxt3.fourcc) want[3] = u4(i);  // pixel i has alpha nibble i
            expect_px(img.get(), i % 4, i / 4, want);
        }
    }
}

// Images tiled with solid blocks, each its own colour and alpha: every pixel,
// those of partial blocks at the right and bottom edges included, takes the
// colour of the block it lies in; without its last byte the file is short.
TEST(DdsBlocks, PartialBlocksAreDecoded) {
    for (auto [pf, w, h] : {std::tuple{kDxt5, 6u, 6u}, {kDxt1, 5u, 4u}, {kDxt1, 0u, 4u},
                            {kDxt3, 7u, 3u}, {kDxt5, 12u, 12u}}) {
        const bool d3 = pf.fourcc == kDxt3.fourcc, d5 = pf.fourcc == kDxt5.fourcc;
        const uint32_t bw = std::max(1u, (w + 3) / 4), bh = (h + 3) / 4;
        Bytes data;
        for (uint32_t n = 1; n <= bw * bh; ++n) {
            if (d3) append(data, u32s({0x11111111 * (n % 16), 0x11111111 * (n % 16)}));
            if (d5) append(data, {uint8_t(16 * n), 0, 0, 0, 0, 0, 0, 0});
            append(data, colour_block((n << 11) | ((2 * n) << 5) | (31 - n), 0, 0));
        }
        auto [img, message] = load_with(rk::load_dds, dds(w, h, pf, data));
        ASSERT_TRUE(img) << text(message);
        ASSERT_EQ(imgbuf_w(img.get()), w);
        ASSERT_EQ(imgbuf_h(img.get()), h);
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint32_t n = (y / 4) * bw + x / 4 + 1;
                const float a = d3 ? u4(n % 16) : d5 ? u8(16 * n) : 1;
                expect_px(img.get(), x, y, {unorm(n, 31), unorm(2 * n, 63), unorm(31 - n, 31), a});
            }
        }
        data.pop_back();
        auto [cut, cut_message] = load_with(rk::load_dds, dds(w, h, pf, data));
        EXPECT_FALSE(cut);
        EXPECT_EQ(cut_message, u"I/O error reading image data.");
    }
}

// Refusals with their messages, and header sizes at the edges of 32 bits, which
// either load at the stated size or fail without reading or allocating past
// what the file holds.
class DdsFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(DdsFile, LoadsOrGivesItsMessage) {
    expect_loads_or_refuses(rk::load_dds, GetParam());
}

Bytes with32(Bytes b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[offset + i] = uint8_t(v >> (8 * i));
    return b;
}
const Bytes kBase = dds(2, 2, kA8R8G8B8, Bytes(16, 0));
constexpr uint32_t kMax32 = 0xFFFFFFFF;
const char16_t* const kTooLarge = u"Image data too large.";
const char16_t* const kShort = u"I/O error reading image data.";
const char16_t* const kUnsupported = u"Unsupported image format.";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, DdsFile, ::testing::Values(
    FileCase{"short100", Bytes(kBase.begin(), kBase.begin() + 100), u"File too small."},
    FileCase{"png_start", with32(Bytes(200, 0), 0, 0x474E5089), u"File is not a DDS file."},
    FileCase{"header_size", with32(kBase, 4, 123), u"File header incorrect (size of DDS_HEADER)."},
    FileCase{"pixel_format_size", with32(kBase, 76, 24), u"File header incorrect (size of DDS_PIXELFORMAT)."},
    FileCase{"dx10", dds(2, 2, {4, cc("DX10"), 0, 0, 0, 0, 0}, {}), u"Unsupported image format (DX10)."},
    FileCase{"rgb_extra_flag", dds(2, 2, {0x241, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000}, Bytes(16, 0)), kUnsupported},
    FileCase{"unknown_fourcc", dds(4, 4, {4, cc("ATI2"), 0, 0, 0, 0, 0}, Bytes(16, 0)), kUnsupported},
    FileCase{"cube", dds(2, 2, kA8R8G8B8, Bytes(16, 0), 0x200), u"Cubemap files not supported."},
    FileCase{"volume", dds(2, 2, kA8R8G8B8, Bytes(16, 0), 0x200000), u"Volume texture files not supported."},
    // only the last stored pixel is white, and mipmap levels follow
    FileCase{"top_level_in_file_order", dds(2, 2, kA8R8G8B8, u32s({0, 0, 0, kMax32, 0x11111111, 0x22222222})), nullptr, 2, 2},
    FileCase{"h_max_w0", dds(0, kMax32, kL8, {}), nullptr, 0, kMax32},
    FileCase{"argb_max_square", dds(kMax32, kMax32, kA8R8G8B8, {}), kTooLarge},
    // no rows, but a row length that does not fit 32 bits
    FileCase{"dxt1_w_max_h0", dds(kMax32, 0, kDxt1, {}), kTooLarge},
    // the row computation of the layouts with a fixed pixel size would wrap
    FileCase{"rgba32f_row_wraps", dds(1u << 25, 1, {4, 116, 0, 0, 0, 0, 0}, {}), kTooLarge},
    // fits, but the file is short: refused before any large allocation
    FileCase{"dxt1_h_max_short", dds(0, kMax32, kDxt1, Bytes(64, 0xFF)), kShort},
    FileCase{"missing", std::nullopt, u"Could not open file."}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
