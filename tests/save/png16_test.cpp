// save_png_ex: depth, layout and channel choice as a PNG reader sees them, and
// the 16-bit height round trip.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <vector>

#include "image_helpers.h"

namespace fs = std::filesystem;

namespace {

struct Raw {
    int depth = 0, colour = 0;
    std::vector<uint32_t> samples;
};

// The file's samples exactly as stored (16-bit big-endian joined).
Raw read_raw(const fs::path& path) {
    Raw raw;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return raw;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        raw.depth = png_get_bit_depth(png, info);
        raw.colour = png_get_color_type(png, info);
        const size_t bytes = png_get_rowbytes(png, info), step = raw.depth / 8;
        png_bytepp rows = png_get_rows(png, info);
        for (uint32_t y = 0; y < png_get_image_height(png, info); ++y)
            for (size_t i = 0; i < bytes; i += step)
                raw.samples.push_back(step == 2 ? rows[y][i] << 8 | rows[y][i + 1] : rows[y][i]);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return raw;
}

std::u16string wide(const fs::path& p) {
    const std::string s = p.string();
    return std::u16string(s.begin(), s.end());
}

std::u16string save_ex(const fs::path& p, const imgbuf* img, uint32_t depth, uint32_t layout, int r,
                       int g, int b) {
    char16_t msg[128];
    save_png_ex(msg, 128, wide(p).c_str(), img, depth, layout, r, g, b);
    return msg;
}

struct TempFile {
    fs::path path = fs::temp_directory_path() / ("rk_png16_" + std::to_string(::getpid()) + ".png");
    ~TempFile() { fs::remove(path); }
};

}  // namespace

TEST(SavePngEx, DepthLayoutAndChannelsAsStored) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Red holds the probes; green and blue are fixed, so a wrong channel shows.
    const float probes[] = {-0.25f, nan, 0.0f, 0.5f, 1.0f, 2.0f, 1.0f / 3.0f, 12345.0f / 65535.0f};
    const uint32_t want16[] = {0, 0, 0, 32768, 65535, 65535, 21845, 12345};
    const uint32_t want8[] = {0, 0, 0, 128, 255, 255, 85, 48};
    Img img = make_img(8, 1);
    for (uint32_t x = 0; x < 8; ++x) set_px(img.get(), x, 0, {probes[x], 0.25f, 0.75f, 1.0f});
    struct Case {
        uint32_t depth, layout;
        int r, g, b, colour;
        const uint32_t* red;
        uint32_t green, blue;  // expected file samples of the image's green and blue
    } cases[] = {{16, RK_PNG_GREY, 0, 0, 0, PNG_COLOR_TYPE_GRAY, want16, 0, 0},
                 {8, RK_PNG_GREY, 0, 1, 1, PNG_COLOR_TYPE_GRAY, want8, 0, 0},
                 {16, RK_PNG_RGB, 2, 0, 1, PNG_COLOR_TYPE_RGB, want16, 16384, 49151},
                 {8, RK_PNG_RGB, 1, 2, 0, PNG_COLOR_TYPE_RGB, want8, 64, 191}};
    for (const Case& c : cases) {
        TempFile file;
        ASSERT_EQ(save_ex(file.path, img.get(), c.depth, c.layout, c.r, c.g, c.b), u"");
        const Raw raw = read_raw(file.path);
        ASSERT_EQ(raw.depth, int(c.depth));
        ASSERT_EQ(raw.colour, c.colour);
        const size_t n = c.layout == RK_PNG_RGB ? 3 : 1;
        ASSERT_EQ(raw.samples.size(), 8 * n);
        const int from[3] = {c.r, c.g, c.b};
        for (uint32_t x = 0; x < 8; ++x)
            for (size_t s = 0; s < n; ++s) {
                const uint32_t want = from[s] == 0 ? c.red[x] : from[s] == 1 ? c.green : c.blue;
                EXPECT_EQ(raw.samples[n * x + s], want) << c.depth << " x " << x << " s " << s;
            }
    }
}

TEST(SavePngEx, UnknownDepthOrLayoutWritesNothing) {
    Img img = filled(2, 2, {0.5f, 0.5f, 0.5f, 1});
    for (auto [depth, layout] : {std::pair{12u, RK_PNG_RGB}, {16u, 2u}, {0u, RK_PNG_GREY}}) {
        TempFile file;
        EXPECT_NE(save_ex(file.path, img.get(), depth, layout, 0, 1, 2), u"");
        EXPECT_FALSE(fs::exists(file.path));
    }
}

// A 16-bit height map read back differs from the float one by at most half a
// step; the normal map made from it by at most what that error does to the
// slopes: each adds heights with weights of total magnitude 2 + 2k (k the
// centre weight, 2 here) times the strength, and an encoded component moves by
// at most that much (to first order; a quarter more covers the curvature).
TEST(SavePngEx, SixteenBitHeightRoundTrip) {
    Img height = make_img(61, 47);
    for (uint32_t y = 0; y < 47; ++y)
        for (uint32_t x = 0; x < 61; ++x) {
            const float v = 0.5f + 0.4f * std::sin(0.13f * x) * std::cos(0.07f * y * y);
            set_px(height.get(), x, y, {v, v, v, 1});
        }
    TempFile file;
    ASSERT_EQ(save_ex(file.path, height.get(), 16, RK_PNG_GREY, 0, 0, 0), u"");
    Img back(load_image(wide(file.path).c_str()));
    ASSERT_TRUE(back);
    const uint32_t strength = 3;
    Img want(calc_normalmap_from_heightmap(height.get(), 0, 0, strength, 1, 0, 0));
    Img got(calc_normalmap_from_heightmap(back.get(), 0, 0, strength, 1, 0, 0));
    const float step = 1.0f / 65535.0f, slack = 1e-6f;
    const float normal_bound = 1.25f * strength * (2 + 2 * 2.0f) * 0.5f * step;
    for (uint32_t y = 0; y < 47; ++y)
        for (uint32_t x = 0; x < 61; ++x) {
            EXPECT_LE(std::fabs(get_px(back.get(), x, y)[0] - get_px(height.get(), x, y)[0]),
                      0.5f * step + slack);
            for (int c = 0; c < 3; ++c)
                EXPECT_LE(std::fabs(get_px(got.get(), x, y)[c] - get_px(want.get(), x, y)[c]),
                          normal_bound + slack);
        }
}
