#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "byte_file.h"
#include "image_helpers.h"
#include "load/dds_formats.h"
#include "load/readers.h"

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
    put32(b, 0x20534444);
    put32(b, 124);
    put32(b, 0x1007);
    put32(b, h);
    put32(b, w);
    b.resize(76, 0);
    for (uint32_t v : {32u, pf.flags, pf.fourcc, pf.bits, pf.r, pf.g, pf.b, pf.a}) put32(b, v);
    put32(b, 0x1000);
    put32(b, caps2);
    b.resize(128, 0);
    append(b, data);
    return b;
}

Bytes set32(Bytes b, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[offset + i] = uint8_t(v >> (8 * i));
    return b;
}

Bytes u16s(std::initializer_list<uint32_t> vs) {
    Bytes b;
    for (uint32_t v : vs) put16(b, v);
    return b;
}
Bytes u32s(std::initializer_list<uint32_t> vs) {
    Bytes b;
    for (uint32_t v : vs) put32(b, v);
    return b;
}
Bytes f32s(std::initializer_list<float> vs) {
    Bytes b;
    for (float v : vs) putf(b, v);
    return b;
}

auto load(const Bytes& file) {
    return load_with(rk::load_dds, file);
}

// Two stored pixels of each per-pixel template and what they decode to.
struct PixelCase {
    const char* name;
    friend void PrintTo(const PixelCase& c, std::ostream* os) { *os << c.name; }
    Pf pf;
    Bytes pixels;
    Px first, second;
};

class DdsPixelLayout : public ::testing::TestWithParam<PixelCase> {};

TEST_P(DdsPixelLayout, DecodesExactly) {
    const PixelCase& c = GetParam();
    auto [img, message] = load(dds(2, 1, c.pf, c.pixels));
    ASSERT_TRUE(img) << text(message);
    EXPECT_TRUE(message.empty());
    expect_px(img.get(), 0, 0, c.first);
    expect_px(img.get(), 1, 0, c.second);
}

const float k128 = 0.5019608f;  // 128 / 255
const float kNan = std::bit_cast<float>(0x7FC00123u);
const float kInf = std::numeric_limits<float>::infinity();
const float kMax = std::numeric_limits<float>::max();

const float k1 = unorm(1, 255);
const float k16 = unorm(0x10, 255);
const float k32 = unorm(0x20, 255);
const float k64 = unorm(0x40, 255);

// clang-format off
INSTANTIATE_TEST_SUITE_P(AllTemplates, DdsPixelLayout, ::testing::Values(
    PixelCase{"A8B8G8R8", {0x41, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000},
              u32s({0x80402010, 0xFF}), {k16, k32, k64, k128}, {1, 0, 0, 0}},
    PixelCase{"G16R16_alpha_flag", {0x41, 0, 32, 0xFFFF, 0xFFFF0000, 0, 0},
              u32s({0xFFFF8000, 0}), {0.50000763f, 1, 0, 1}, {0, 0, 0, 1}},
    PixelCase{"A2B10G10R10", {0x41, 0, 32, 0x3FF, 0xFFC00, 0x3FF00000, 0},
              u32s({0x80000000 | 0x3FF00000 | 1, 0x40000000 | (5 << 10)}),
              {unorm(1, 1023), 0, 1, unorm(2, 3)}, {0, unorm(5, 1023), 0, unorm(1, 3)}},
    PixelCase{"G16R16", {0x40, 0, 32, 0xFFFF, 0xFFFF0000, 0, 0},
              u32s({0x0001FFFF, 0}), {1, unorm(1, 65535), 0, 1}, {0, 0, 0, 1}},
    PixelCase{"A1R5G5B5", {0x41, 0, 16, 0x7C00, 0x03E0, 0x001F, 0x8000},
              u16s({0x8000, 0x7FFF}), {0, 0, 0, 1}, {1, 1, 1, 0}},
    PixelCase{"R5G6B5", {0x40, 0, 16, 0xF800, 0x07E0, 0x001F, 0},
              u16s({0xF800, 0x0841}), {1, 0, 0, 1}, {unorm(1, 31), unorm(2, 63), unorm(1, 31), 1}},
    PixelCase{"A8", {0x02, 0, 8, 0, 0, 0, 0xFF}, {0x80, 0xFF}, {0, 0, 0, k128}, {0, 0, 0, 1}},
    PixelCase{"A8R8G8B8", {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000},
              u32s({0x80402010, 0xFF0000}), {k64, k32, k16, k128}, {1, 0, 0, 0}},
    PixelCase{"X8R8G8B8", {0x40, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0},
              u32s({0x80402010, 0xFF0000}), {k64, k32, k16, 1}, {1, 0, 0, 1}},
    PixelCase{"X8B8G8R8", {0x40, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0},
              u32s({0x80402010, 0xFF}), {k16, k32, k64, 1}, {1, 0, 0, 1}},
    PixelCase{"A2R10G10B10", {0x41, 0, 32, 0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000},
              u32s({0x40000000 | (1 << 20) | (0x3FF << 10), 0xC0000000 | 7}),
              {unorm(1, 1023), 1, 0, unorm(1, 3)}, {0, 0, unorm(7, 1023), 1}},
    PixelCase{"R8G8B8", {0x40, 0, 24, 0xFF0000, 0xFF00, 0xFF, 0},
              {0x10, 0x20, 0x30, 0xFF, 0, 0}, {unorm(0x30, 255), k32, k16, 1}, {0, 0, 1, 1}},
    PixelCase{"X1R5G5B5", {0x40, 0, 16, 0x7C00, 0x03E0, 0x001F, 0},
              u16s({0x8000, 0x7FFF}), {0, 0, 0, 1}, {1, 1, 1, 1}},
    PixelCase{"A4R4G4B4", {0x41, 0, 16, 0x0F00, 0x00F0, 0x000F, 0xF000},
              u16s({0x1234, 0xF000}), {unorm(2, 15), unorm(3, 15), unorm(4, 15), unorm(1, 15)},
              {0, 0, 0, 1}},
    PixelCase{"X4R4G4B4", {0x40, 0, 16, 0x0F00, 0x00F0, 0x000F, 0},
              u16s({0x1234, 0xF000}), {unorm(2, 15), unorm(3, 15), unorm(4, 15), 1}, {0, 0, 0, 1}},
    PixelCase{"A8R3G3B2", {0x41, 0, 16, 0xE0, 0x1C, 0x03, 0xFF00},
              u16s({0x80E5, 0x00FF}), {1, unorm(1, 7), unorm(1, 3), k128}, {1, 1, 1, 0}},
    PixelCase{"A8L8", {0x20000, 0, 16, 0xFF, 0, 0, 0xFF00},
              {0x40, 0x80, 0xFF, 0x01}, {k64, k64, k64, k128}, {1, 1, 1, k1}},
    PixelCase{"L16", {0x20000, 0, 16, 0xFFFF, 0, 0, 0},
              u16s({0x8000, 0xFFFF}), {0.50000763f, 0.50000763f, 0.50000763f, 1}, {1, 1, 1, 1}},
    PixelCase{"L8", {0x20000, 0, 8, 0xFF, 0, 0, 0}, {0x40, 0xFF}, {k64, k64, k64, 1}, {1, 1, 1, 1}},
    PixelCase{"A4L4", {0x20000, 0, 8, 0x0F, 0, 0, 0xF0},
              {0x3C, 0xF0}, {unorm(12, 15), unorm(12, 15), unorm(12, 15), unorm(3, 15)}, {0, 0, 0, 1}},
    PixelCase{"A16B16G16R16", {4, 36, 0, 0, 0, 0, 0}, u16s({0xFFFF, 0, 0, 0x8000, 1, 2, 3, 0xFFFF}),
              {1, 0, 0, 0.5000076f}, {unorm(1, 65535), unorm(2, 65535), unorm(3, 65535), 1}},
    PixelCase{"R32F", {4, 114, 0, 0, 0, 0, 0}, f32s({7.5f, kNan}), {7.5f, 0, 0, 1}, {kNan, 0, 0, 1}},
    PixelCase{"G32R32F", {4, 115, 0, 0, 0, 0, 0}, f32s({-1.25f, kMax, kInf, -0.0f}),
              {-1.25f, kMax, 0, 1}, {kInf, -0.0f, 0, 1}},
    PixelCase{"A32B32G32R32F", {4, 116, 0, 0, 0, 0, 0},
              f32s({kNan, 7.5f, -0.0f, kInf, 2.0f, -3.0f, 0.25f, 1e-45f}),
              {kNan, 7.5f, -0.0f, kInf}, {2.0f, -3.0f, 0.25f, 1e-45f}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// One 4 x 4 colour block: endpoints and 2-bit indices, row y in byte y.
Bytes ColourBlock(uint32_t c0, uint32_t c1, uint32_t indices) {
    Bytes b;
    put16(b, c0);
    put16(b, c1);
    put32(b, indices);
    return b;
}
constexpr uint32_t kIndexIsColumn = 0xE4E4E4E4;  // pixel (x, y) takes index x

const float k1_3 = 0.33333334f;
const float k2_3 = 0.6666667f;

TEST(DdsBlocks, Dxt1ColourModes) {
    struct Case {
        uint32_t c0, c1;
        Px colour[4];
    };
    const Case cases[] = {
        // red over blue: four colours blended by thirds
        {0xF800, 0x001F, {{1, 0, 0, 1}, {0, 0, 1, 1}, {k2_3, 0, k1_3, 1}, {k1_3, 0, k2_3, 1}}},
        // equal endpoints: three colours and opaque black
        {0x07E0, 0x07E0, {{0, 1, 0, 1}, {0, 1, 0, 1}, {0, 1, 0, 1}, {0, 0, 0, 1}}},
        // blends multiply by 0.33333334 (a division by 3 differs in the last bit)
        {0x9800,
         0x0000,
         {{unorm(19, 31), 0, 0, 1},
          {0, 0, 0, 1},
          {0.408602178f, 0, 0, 1},
          {0.204301089f, 0, 0, 1}}},
        // c0 < c1: the midpoint and opaque black
        {0x001F, 0xF800, {{0, 0, 1, 1}, {1, 0, 0, 1}, {0.5f, 0, 0.5f, 1}, {0, 0, 0, 1}}},
    };
    for (const Case& c : cases) {
        auto [img, message] = load(dds(4, 4, kDxt1, ColourBlock(c.c0, c.c1, kIndexIsColumn)));
        ASSERT_TRUE(img) << text(message);
        for (uint32_t y = 0; y < 4; ++y) {
            for (uint32_t x = 0; x < 4; ++x) expect_px(img.get(), x, y, c.colour[x]);
        }
    }
}

TEST(DdsBlocks, Dxt3AlphaNibblesAndAlwaysFourColours) {
    Bytes block = u32s({0x76543210, 0xFEDCBA98});  // pixel i has alpha i
    append(block, ColourBlock(0x001F, 0xF800, kIndexIsColumn));
    auto [img, message] = load(dds(4, 4, kDxt3, block));
    ASSERT_TRUE(img) << text(message);
    const Px colour[4] = {{0, 0, 1}, {1, 0, 0}, {k1_3, 0, k2_3}, {k2_3, 0, k1_3}};
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 4; ++x) {
            Px want = colour[x];
            want[3] = unorm(4 * y + x, 15);
            expect_px(img.get(), x, y, want);
        }
    }
}

TEST(DdsBlocks, Dxt5AlphaBlendsInBothModes) {
    struct Case {
        uint8_t a0, a1;
        float alpha[8];  // by 3-bit index
    };
    const Case cases[] = {
        {255, 0, {1, 0, 0.8571429f, 0.71428573f, 0.5714286f, 0.42857146f, 0.2857143f, 0.14285715f}},
        {0, 255, {0, 1, 0.2f, 0.4f, 0.6f, 0.8f, 0, 1}},
        // multiplied by 0.14285715, not divided by 7: differs in the last bit
        {1,
         0,
         {unorm(1, 255), 0, 0.00336134504f, 0.00280112075f, 0.00224089669f, 0.00168067252f,
          0.00112044835f, 0.000560224173f}},
    };
    uint64_t indices = 0;  // pixel i takes index i % 8
    for (uint32_t i = 0; i < 16; ++i) indices |= uint64_t{i % 8} << (3 * i);
    for (const Case& c : cases) {
        Bytes block = {c.a0, c.a1};
        for (int i = 0; i < 6; ++i) put8(block, uint32_t(indices >> (8 * i)));
        append(block, ColourBlock(0xFFFF, 0xFFFF, 0));
        auto [img, message] = load(dds(4, 4, kDxt5, block));
        ASSERT_TRUE(img) << text(message);
        for (uint32_t i = 0; i < 16; ++i)
            expect_px(img.get(), i % 4, i / 4, {1, 1, 1, c.alpha[i % 8]});
    }
}

// Images tiled with solid blocks, each its own colour and alpha: every pixel,
// those of partial blocks at the right and bottom edges included, takes the
// colour of the block it lies in.
struct GridCase {
    const char* name;
    friend void PrintTo(const GridCase& c, std::ostream* os) { *os << c.name; }
    Pf pf;
    uint32_t w, h;
};

class DdsBlockGrid : public ::testing::TestWithParam<GridCase> {};

Bytes solid_block(const Pf& pf, uint32_t n) {
    const uint32_t c0 = (n << 11) | ((2 * n) << 5) | (31 - n);
    Bytes b;
    if (pf.fourcc == kDxt3.fourcc) append(b, u32s({0x11111111 * (n % 16), 0x11111111 * (n % 16)}));
    if (pf.fourcc == kDxt5.fourcc) append(b, {uint8_t(16 * n), 0, 0, 0, 0, 0, 0, 0});
    append(b, ColourBlock(c0, 0, 0));
    return b;
}

Px solid_colour(const Pf& pf, uint32_t n) {
    float a = 1;
    if (pf.fourcc == kDxt3.fourcc) a = unorm(n % 16, 15);
    if (pf.fourcc == kDxt5.fourcc) a = unorm(16 * n, 255);
    return {unorm(n, 31), unorm(2 * n, 63), unorm(31 - n, 31), a};
}

TEST_P(DdsBlockGrid, PartialBlocksAreDecoded) {
    const GridCase& c = GetParam();
    const uint32_t bw = std::max(1u, (c.w + 3) / 4);
    const uint32_t bh = (c.h + 3) / 4;
    Bytes data;
    for (uint32_t n = 1; n <= bw * bh; ++n) append(data, solid_block(c.pf, n));
    auto [img, message] = load(dds(c.w, c.h, c.pf, data));
    ASSERT_TRUE(img) << text(message);
    ASSERT_EQ(imgbuf_w(img.get()), c.w);
    ASSERT_EQ(imgbuf_h(img.get()), c.h);
    for (uint32_t y = 0; y < c.h; ++y) {
        for (uint32_t x = 0; x < c.w; ++x) {
            expect_px(img.get(), x, y, solid_colour(c.pf, (y / 4) * bw + x / 4 + 1));
        }
    }
    // Without its last row of blocks the file is short.
    data.resize(data.size() - 1);
    auto [cut, cut_message] = load(dds(c.w, c.h, c.pf, data));
    EXPECT_FALSE(cut);
    EXPECT_EQ(cut_message, u"I/O error reading image data.");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DdsBlockGrid,
    ::testing::Values(GridCase{"dxt5_6x6", kDxt5, 6, 6}, GridCase{"dxt1_5x4", kDxt1, 5, 4},
                      GridCase{"dxt1_0x4", kDxt1, 0, 4}, GridCase{"dxt3_7x3", kDxt3, 7, 3},
                      GridCase{"dxt5_12x12", kDxt5, 12, 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Dds, MipmapsAfterTheTopLevelAreIgnored) {
    Bytes data;
    for (uint32_t y = 0; y < 256; ++y) {
        for (uint32_t x = 0; x < 256; ++x) append(data, {uint8_t(x), uint8_t(y), 0x55, 0xFF});
    }
    data.resize(data.size() + 128 * 128 * 4 + 64 * 64 * 4, 0x11);
    auto [img, message] = load(dds(256, 256, kA8R8G8B8, data));
    ASSERT_TRUE(img) << text(message);
    for (uint32_t y : {0u, 1u, 200u, 255u}) {
        for (uint32_t x : {0u, 3u, 255u})
            expect_px(img.get(), x, y, {unorm(0x55, 255), unorm(y, 255), unorm(x, 255), 1});
    }
}

struct Refusal {
    const char* name;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }
    Bytes file;
    const char16_t* message;
};

class DdsRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(DdsRefusal, GivesItsMessage) {
    auto [img, message] = load(GetParam().file);
    EXPECT_FALSE(img);
    EXPECT_EQ(message, GetParam().message);
}

const Bytes kBase = dds(2, 2, kA8R8G8B8, Bytes(16, 0));
Bytes png_like() {
    Bytes b(200, 0);
    const uint8_t signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::copy(std::begin(signature), std::end(signature), b.begin());
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DdsRefusal,
    ::testing::Values(
        Refusal{"short100", Bytes(kBase.begin(), kBase.begin() + 100), u"File too small."},
        Refusal{"png", png_like(), u"File is not a DDS file."},
        Refusal{"header_size", set32(kBase, 4, 123),
                u"File header incorrect (size of DDS_HEADER)."},
        Refusal{"pixel_format_size", set32(kBase, 76, 24),
                u"File header incorrect (size of DDS_PIXELFORMAT)."},
        Refusal{"dx10", dds(2, 2, {4, cc("DX10"), 0, 0, 0, 0, 0}, {}),
                u"Unsupported image format (DX10)."},
        Refusal{"dxt1_bit_count", dds(4, 4, {4, cc("DXT1"), 16, 0, 0, 0, 0}, Bytes(8, 0)),
                u"Unsupported image format."},
        Refusal{"rgb_extra_flag",
                dds(2, 2, {0x241, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000}, Bytes(16, 0)),
                u"Unsupported image format."},
        Refusal{"unknown_fourcc", dds(4, 4, {4, cc("ATI2"), 0, 0, 0, 0, 0}, Bytes(16, 0)),
                u"Unsupported image format."},
        Refusal{"cube", dds(2, 2, kA8R8G8B8, Bytes(16, 0), 0x200), u"Cubemap files not supported."},
        Refusal{"volume", dds(2, 2, kA8R8G8B8, Bytes(16, 0), 0x200000),
                u"Volume texture files not supported."},
        Refusal{"cut_16x16", dds(16, 16, kA8R8G8B8, Bytes(1000, 0)),
                u"I/O error reading image data."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Dds, MissingFile) {
    std::u16string message;
    EXPECT_FALSE(rk::load_dds(missing_file(), message));
    EXPECT_EQ(message, u"Could not open file.");
}

// Header sizes at the edges of 32 bits either load at the stated size or fail
// with a message, without reading or allocating past what the file holds.
struct SizeCase {
    friend void PrintTo(const SizeCase& c, std::ostream* os) {
        *os << c.w << "x" << c.h << " fourcc " << c.pf.fourcc << " bits " << c.pf.bits;
    }
    uint32_t w, h;
    Pf pf;
    size_t data_bytes;
    const char16_t* message;  // null: loads
};

class DdsExtremeSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DdsExtremeSize, LoadsOrFailsCleanly) {
    const SizeCase& c = GetParam();
    auto [img, message] = load(dds(c.w, c.h, c.pf, Bytes(c.data_bytes, 0xFF)));
    if (c.message) {
        EXPECT_FALSE(img);
        EXPECT_EQ(message, c.message);
        return;
    }
    ASSERT_TRUE(img) << text(message);
    EXPECT_EQ(imgbuf_w(img.get()), c.w);
    EXPECT_EQ(imgbuf_h(img.get()), c.h);
    if (c.w && c.h) expect_px(img.get(), c.w - 1, c.h - 1, {1, 1, 1, 1});
}

constexpr Pf kG32R32F = {4, 115, 0, 0, 0, 0, 0};
constexpr Pf kRgba32F = {4, 116, 0, 0, 0, 0, 0};
constexpr uint32_t kMaxU32 = 0xFFFFFFFF;
const char16_t* const kTooLarge = u"Image data too large.";
const char16_t* const kShort = u"I/O error reading image data.";

INSTANTIATE_TEST_SUITE_P(
    Sides, DdsExtremeSize,
    ::testing::Values(
        SizeCase{0, 1, kA8R8G8B8, 0, nullptr}, SizeCase{65535, 1, kL8, 65535, nullptr},
        SizeCase{0, kMaxU32, kL8, 0, nullptr}, SizeCase{65535, 65535, kDxt1, 0, kTooLarge},
        SizeCase{1, kMaxU32, kDxt1, 0, kTooLarge}, SizeCase{kMaxU32, kMaxU32, kA8R8G8B8, 0, kTooLarge},
        // no rows, but a row length that does not fit 32 bits
        SizeCase{kMaxU32, 0, kDxt1, 0, kTooLarge},
        // the row computation of the 64- and 128-bit layouts would wrap
        SizeCase{1u << 26, 1, kG32R32F, 0, kTooLarge}, SizeCase{1u << 25, 1, kRgba32F, 0, kTooLarge},
        // fits, but the file is short: refused before any large allocation
        SizeCase{(1u << 25) - 1, 1, kRgba32F, 16, kShort},
        SizeCase{0, kMaxU32, kDxt1, 64, kShort}));

}  // namespace
