#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "filter/convolve_3x3.h"
#include "image_helpers.h"

using namespace rk;

namespace {

// An image whose red is f(x, y) and whose green, blue and alpha are markers.
Img red_image(uint32_t w, uint32_t h, const std::function<float(uint32_t, uint32_t)>& f) {
    return image_of(w, h, [&](uint32_t x, uint32_t y) { return Px{f(x, y), 7.0f, 8.0f, 0.25f}; });
}

float red(const Img& img, uint32_t x, uint32_t y) {
    return get_px(img.get(), x, y)[0];
}

}  // namespace

// Every region (corners, frame, interior, one-pixel-wide images) against the
// clamped formula, with an asymmetric kernel so that a mirrored tap shows;
// green and blue keep what dst held, alpha becomes 1.
class Convolve3x3Sizes : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(Convolve3x3Sizes, MatchesClampedFormula) {
    const auto [w, h] = GetParam();
    const float kernel[9] = {1, 2, 4, 8, 16, 32, 64, 128, 256};
    std::mt19937 rng(w * 100 + h);
    std::uniform_int_distribution<int> value(0, 15);
    Img src = red_image(w, h, [&](uint32_t, uint32_t) { return float(value(rng)); });
    Img dst = red_image(w, h, [](uint32_t, uint32_t) { return 0.0f; });
    convolve_3x3(dst.get(), src.get(), kernel, 4.0f);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            float s = 0.0f;
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i)
                    s += kernel[3 * (j + 1) + (i + 1)] *
                         red(src, std::clamp<int>(int(x) + i, 0, int(w) - 1),
                             std::clamp<int>(int(y) + j, 0, int(h) - 1));
            EXPECT_EQ(get_px(dst.get(), x, y), (Px{s * 0.25f, 7.0f, 8.0f, 1.0f})) << x << "," << y;
        }
    }
}

// The edge map sums the two Sobels' magnitudes; its row form gives the same
// rows, writes nothing past one, and clamps a row past the last.
TEST_P(Convolve3x3Sizes, EdgeStrengthCombinesTheTwoSobels) {
    const auto [w, h] = GetParam();
    Img src = noise(w, h, w * 7 + h), gx = make_img(w, h), gy = make_img(w, h);
    convolve_3x3(gx.get(), src.get(), SOBEL_X, 8.0f);
    convolve_3x3(gy.get(), src.get(), SOBEL_Y, 8.0f);
    std::vector<float> edges(w * h), row(w + 1, -1.0f);
    edge_strength_3x3(edges.data(), src.get(), SOBEL_X, SOBEL_Y, 8.0f);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
            EXPECT_EQ(edges[y * w + x],
                      (std::fabs(red(gx, x, y)) + std::fabs(red(gy, x, y))) * 0.5f);
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
