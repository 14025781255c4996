#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "filter/convolve_3x3.h"

using namespace rk;

namespace {

// An image whose red is f(x, y) and whose green, blue and alpha are markers.
ImgbufPtr red_image(uint32_t w, uint32_t h, const std::function<float(uint32_t, uint32_t)>& f) {
    ImgbufPtr img = make_image(w, h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            float* p = row_unchecked(img.get(), y) + 4 * x;
            p[0] = f(x, y);
            p[1] = 7.0f;
            p[2] = 8.0f;
            p[3] = 0.25f;
        }
    }
    return img;
}

float red(const imgbuf* img, uint32_t x, uint32_t y) {
    return row_unchecked(img, y)[4 * x];
}

}  // namespace

// Hand values of the Sobel operator: a ramp rising 1 per column has slope -1
// inside and -0.5 at the clamped edges, and no vertical slope; green and blue
// keep what dst held, alpha becomes 1.
TEST(Convolve3x3, SobelOfARamp) {
    ImgbufPtr ramp = red_image(10, 4, [](uint32_t x, uint32_t) { return float(x); });
    ImgbufPtr sx = red_image(10, 4, [](uint32_t, uint32_t) { return 5.0f; });
    ImgbufPtr sy = red_image(10, 4, [](uint32_t, uint32_t) { return 5.0f; });
    convolve_3x3(sx.get(), ramp.get(), SOBEL_X, 8.0f);
    convolve_3x3(sy.get(), ramp.get(), SOBEL_Y, 8.0f);
    for (uint32_t y = 0; y < 4; ++y) {
        for (uint32_t x = 0; x < 10; ++x) {
            const float* p = row_unchecked(sx.get(), y) + 4 * x;
            EXPECT_EQ(p[0], (x == 0 || x == 9) ? -0.5f : -1.0f) << x << "," << y;
            EXPECT_EQ(red(sy.get(), x, y), 0.0f);
            EXPECT_TRUE(p[1] == 7.0f && p[2] == 8.0f && p[3] == 1.0f);
        }
    }
}

// Every region (corners, frame, interior, one-pixel-wide images) against the
// clamped formula, with an asymmetric kernel so that a mirrored tap shows.
class Convolve3x3Sizes : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(Convolve3x3Sizes, MatchesClampedFormula) {
    const auto [w, h] = GetParam();
    const float kernel[9] = {1, 2, 4, 8, 16, 32, 64, 128, 256};
    std::mt19937 rng(w * 100 + h);
    std::uniform_int_distribution<int> value(0, 15);
    ImgbufPtr src = red_image(w, h, [&](uint32_t, uint32_t) { return float(value(rng)); });
    ImgbufPtr dst = red_image(w, h, [](uint32_t, uint32_t) { return 0.0f; });
    convolve_3x3(dst.get(), src.get(), kernel, 4.0f);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            float s = 0.0f;
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i)
                    s += kernel[3 * (j + 1) + (i + 1)] *
                         red(src.get(), std::clamp<int>(int(x) + i, 0, int(w) - 1),
                             std::clamp<int>(int(y) + j, 0, int(h) - 1));
            EXPECT_EQ(red(dst.get(), x, y), s * 0.25f) << x << "," << y;
        }
    }
}

// The edge map sums the two Sobels' magnitudes; its row form gives the same
// rows, writes nothing past one, and clamps a row past the last.
TEST_P(Convolve3x3Sizes, EdgeStrengthCombinesTheTwoSobels) {
    const auto [w, h] = GetParam();
    std::mt19937 rng(w * 7 + h);
    std::uniform_real_distribution<float> value(-0.5f, 1.5f);
    ImgbufPtr src = red_image(w, h, [&](uint32_t, uint32_t) { return value(rng); });
    ImgbufPtr gx = red_image(w, h, [](uint32_t, uint32_t) { return 0.0f; });
    ImgbufPtr gy = red_image(w, h, [](uint32_t, uint32_t) { return 0.0f; });
    convolve_3x3(gx.get(), src.get(), SOBEL_X, 8.0f);
    convolve_3x3(gy.get(), src.get(), SOBEL_Y, 8.0f);
    std::vector<float> edges(w * h), row(w + 1, -1.0f);
    edge_strength_3x3(edges.data(), src.get(), SOBEL_X, SOBEL_Y, 8.0f);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(edges[y * w + x],
                      (std::fabs(red(gx.get(), x, y)) + std::fabs(red(gy.get(), x, y))) * 0.5f);
        edge_strength_row(row.data(), src.get(), y, SOBEL_X, SOBEL_Y, 8.0f);
        EXPECT_EQ(std::memcmp(row.data(), edges.data() + y * w, w * sizeof(float)), 0) << y;
        EXPECT_EQ(row[w], -1.0f);
    }
    edge_strength_row(row.data(), src.get(), h, SOBEL_X, SOBEL_Y, 8.0f);
    EXPECT_EQ(row[0], edges[(h - 1) * w]);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Convolve3x3Sizes,
                         ::testing::Values(std::pair{1u, 1u}, std::pair{1u, 5u}, std::pair{7u, 6u},
                                           std::pair{518u, 4u}));

TEST(Convolve3x3, EmptyAndBrokenCallsDoNothing) {
    ImgbufPtr empty_a = make_image(0, 3), empty_b = make_image(0, 3);
    convolve_3x3(empty_a.get(), empty_b.get(), SOBEL_X, 8.0f);
    ImgbufPtr a = red_image(3, 3, [](uint32_t x, uint32_t) { return float(x); });
    ImgbufPtr b = red_image(3, 4, [](uint32_t, uint32_t) { return 1.0f; });
    convolve_3x3(a.get(), b.get(), SOBEL_X, 8.0f);
    convolve_3x3(a.get(), a.get(), SOBEL_X, 8.0f);
    for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(red(a.get(), x, 1), float(x));
}
