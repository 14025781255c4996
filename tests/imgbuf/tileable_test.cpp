// make_tileable: the seam measure of a non-tiling image, the untouched centre
// and the refused arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "image_helpers.h"

namespace {

// Mean |a - b| over a line of n pixels (red to blue), stepping by `step` pixels.
float line_diff(const imgbuf* img, size_t a, size_t b, size_t n, size_t step) {
    const float* p = imgbuf_buf(img);
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c)
            sum += std::fabs(p[4 * (a + i * step) + c] - p[4 * (b + i * step) + c]);
    return static_cast<float>(sum / (3.0 * n));
}

// Seam and 95th percentile of adjacent interior lines, for columns (across x)
// or rows (across y).
std::pair<float, float> seam_and_p95(const imgbuf* img, bool columns) {
    const size_t w = imgbuf_w(img), h = imgbuf_h(img);
    const size_t lines = columns ? w : h, n = columns ? h : w, stride = columns ? 1 : w;
    const size_t step = columns ? w : 1;
    std::vector<float> inner;
    for (size_t i = 1; i + 1 < lines; ++i)
        inner.push_back(line_diff(img, (i - 1) * stride, i * stride, n, step));
    std::sort(inner.begin(), inner.end());
    return {line_diff(img, (lines - 1) * stride, 0, n, step), inner[inner.size() * 95 / 100]};
}

}  // namespace

TEST(MakeTileable, RemovesTheSeamAndKeepsTheCentre) {
    // A diagonal ramp with grain: opposite edges differ far more than neighbours.
    const uint32_t w = 97, h = 64;
    Img img = make_img(w, h);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> grain(0.0f, 0.05f);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const float v = 0.6f * x / w + 0.3f * y / h;
            set_px(img.get(), x, y, {v + grain(rng), v + grain(rng), 0.5f * v + grain(rng), 1});
        }
    for (bool columns : {true, false}) {
        const auto [seam, p95] = seam_and_p95(img.get(), columns);
        ASSERT_GT(seam, p95);  // the source does not tile
    }
    for (float fraction : {0.05f, 0.1f, 0.25f}) {
        Img out(make_tileable(img.get(), fraction));
        ASSERT_TRUE(out);
        for (bool columns : {true, false}) {
            const auto [seam, p95] = seam_and_p95(out.get(), columns);
            EXPECT_LE(seam, p95) << fraction << (columns ? " columns" : " rows");
        }
        const uint32_t bx = static_cast<uint32_t>(std::lround(fraction * w)),
                       by = static_cast<uint32_t>(std::lround(fraction * h));
        for (uint32_t y = by; y < h - by; ++y)
            for (uint32_t x = bx; x < w - bx; ++x)
                ASSERT_EQ(get_px(out.get(), x, y), get_px(img.get(), x, y));
    }
}

TEST(MakeTileable, RefusesBadArguments) {
    Img img = filled(4, 4, {0.5f, 0.5f, 0.5f, 1});
    Img empty = make_img(0, 3);
    for (float f : {0.0f, -0.1f, 0.51f, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_EQ(make_tileable(img.get(), f), nullptr);
    EXPECT_EQ(make_tileable(nullptr, 0.1f), nullptr);
    EXPECT_EQ(make_tileable(empty.get(), 0.1f), nullptr);
}
