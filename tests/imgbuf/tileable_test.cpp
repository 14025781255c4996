// make_tileable on a picture that does not tile: afterwards the mean difference
// across each seam is within the 95th percentile of those between neighbouring
// lines inside, and the centre is untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "image_helpers.h"

// Whether the seam between the last and the first column (or row) is no larger
// than the 95th percentile of the neighbouring ones (mean |difference|, red to blue).
static bool seamless(const imgbuf* img, bool columns) {
    const uint32_t w = imgbuf_w(img), h = imgbuf_h(img), lines = columns ? w : h;
    std::vector<float> diffs(lines, 0.0f);  // diffs[i]: lines i - 1 and i; diffs[0] the seam
    for (uint32_t i = 0; i < lines; ++i)
        for (uint32_t k = 0; k < (columns ? h : w); ++k) {
            const Px a =
                columns ? get_px(img, (i + w - 1) % w, k) : get_px(img, k, (i + h - 1) % h);
            const Px b = columns ? get_px(img, i, k) : get_px(img, k, i);
            for (int c = 0; c < 3; ++c) diffs[i] += std::fabs(a[c] - b[c]);
        }
    const float seam = diffs[0];
    std::sort(diffs.begin() + 1, diffs.end());
    return seam <= diffs[1 + (lines - 1) * 95 / 100];
}

TEST(MakeTileable, RemovesTheSeamsAndKeepsTheCentre) {
    const uint32_t w = 97, h = 64;
    Img img = make_img(w, h);  // a diagonal ramp with grain
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < w * h; ++i) {
        const float v = 0.6f * (i % w) / w + 0.3f * (i / w) / h + (rng() % 1000) * 5e-5f;
        set_px(img.get(), i % w, i / w, {v, v + (rng() % 1000) * 5e-5f, 0.5f * v, 1});
    }
    ASSERT_FALSE(seamless(img.get(), true) || seamless(img.get(), false));
    for (float f : {0.05f, 0.1f, 0.25f}) {
        Img out(make_tileable(img.get(), f));
        ASSERT_TRUE(out && seamless(out.get(), true) && seamless(out.get(), false)) << f;
        const uint32_t bx = std::lround(f * w), by = std::lround(f * h);
        for (uint32_t y = by; y < h - by; ++y)
            for (uint32_t x = bx; x < w - bx; ++x)
                ASSERT_EQ(get_px(out.get(), x, y), get_px(img.get(), x, y));
    }
}

// A side that weighs nothing is left out, not multiplied by 0: infinities along
// the last column and row (bands of 2 and 1) would otherwise make the seam NaN.
TEST(MakeTileable, ASideThatWeighsNothingIsLeftOut) {
    Img img = image_of(10, 6, [](uint32_t x, uint32_t y) {
        return Px{x == 9 || y == 5 ? INFINITY : 0.5f, 0.5f, 0.5f, 1};
    });
    Img out(make_tileable(img.get(), 0.2f));
    for (uint32_t i = 0; i < 60; ++i)
        ASSERT_EQ(get_px(out.get(), i % 10, i / 10), (Px{0.5f, 0.5f, 0.5f, 1})) << i;
}
