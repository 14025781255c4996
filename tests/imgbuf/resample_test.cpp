#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "image_helpers.h"

namespace {

Img resample(const Img& src, uint32_t w, uint32_t h) {
    return Img(imgbuf_resample(src.get(), w, h));
}

// Red = column, green = row, so every sampled position is visible in the pixel.
Img ramp(uint32_t w, uint32_t h) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) set_px(img.get(), x, y, {float(x), float(y), 0.25f, 1.0f});
    return img;
}

}  // namespace

TEST(Resample, SameSizeIsExactAndClearsNegativeZero) {
    Img src = ramp(5, 4);
    set_px(src.get(), 2, 1, {-0.0f, 0.125f, 3.5f, -2.0f});
    Img out = resample(src, 5, 4);
    ASSERT_TRUE(out);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(get_px(src.get(), x, y), get_px(out.get(), x, y));
    EXPECT_FALSE(std::signbit(get_px(out.get(), 2, 1)[0]));
}

// An infinite or NaN pixel shows only where it is sampled, not in the pixels
// whose samples fall exactly on its neighbours (a same-size resample, or every
// other column and row).
TEST(Resample, NonFinitePixelsSpoilNoNeighbour) {
    for (float bad : {INFINITY, -INFINITY, NAN}) {
        Img src = ramp(5, 5);
        set_px(src.get(), 1, 1, {bad, bad, bad, bad});
        EXPECT_TRUE(same_image(resample(src, 5, 5).get(), src.get())) << bad;
        Img half = resample(src, 3, 3);
        for (uint32_t y = 0; y < 3; ++y)
            for (uint32_t x = 0; x < 3; ++x)
                EXPECT_EQ(get_px(half.get(), x, y), get_px(src.get(), 2 * x, 2 * y)) << bad;
    }
}

// A source over 2^24 pixels wide or high, whose last position a float rounds
// past its edge, still maps its corners onto the target's. The pixels are
// untouched zero pages but for the corners that matter.
TEST(Resample, CornersOfSourcesPastTwoToThe24) {
    constexpr uint32_t kLong = (1u << 24) + 4;
    const size_t bytes = size_t{kLong} * 16;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    auto* pixels = static_cast<float*>(block);
    const Px last = {0.25f, 0.5f, 0.75f, 0.125f};
    std::copy(last.begin(), last.end(), pixels + 4 * size_t{kLong - 1});
    for (auto [w, h, stride, to_w, to_h] : {std::array<uint32_t, 5>{kLong, 1, kLong * 16, 2, 1},
                                             std::array<uint32_t, 5>{1, kLong, 16, 1, 2}}) {
        imgbuf* src = nullptr;
        ASSERT_EQ(rk_image_wrap(pixels, w, h, stride, &src), RK_OK);
        Img out(imgbuf_resample(src, to_w, to_h));
        ASSERT_TRUE(out);
        EXPECT_EQ(get_px(out.get(), to_w - 1, to_h - 1), last) << w;
        EXPECT_EQ(get_px(out.get(), 0, 0), (Px{0, 0, 0, 0})) << w;
        rk_image_free(src);
    }
    munmap(block, bytes);
}

// A ramp image (red = column, green = row) resampled, and one output pixel:
// which source position it samples is visible in its red and green.
struct Probe {
    uint32_t from_w, from_h, w, h, x, y;
    float red, green;
};

TEST(Resample, SamplesTheScaledPosition) {
    const Probe probes[] = {
        {2, 2, 3, 2, 1, 0, 0.5f, 0},   // upsampling averages the middle
        {2, 2, 2, 3, 0, 1, 0, 0.5f},   // down the rows too
        {4, 3, 2, 3, 1, 2, 3, 2},      // downsampling keeps the outer columns
        {100, 2, 37, 2, 36, 0, 99, 0}, // the last column is reached
        {100, 2, 37, 2, 4, 0, 11, 0},  // 4 * 2.75
        {3000, 2, 24, 2, 23, 0, 2999, 0},  // where (w - 1) * scale rounds past the edge
        {2, 3000, 2, 24, 0, 0, 0, 0},
        {3, 5, 3, 3, 0, 1, 0, 2},      // rows are not flipped
        {3, 5, 3, 3, 2, 2, 2, 4},
        {4, 4, 1, 4, 0, 3, 0, 3},      // a single column samples the first
        {4, 4, 4, 1, 3, 0, 3, 0},      // a single row samples the first
        {4, 4, 1, 1, 0, 0, 0, 0},
    };
    for (const Probe& p : probes) {
        Img out = resample(ramp(p.from_w, p.from_h), p.w, p.h);
        ASSERT_TRUE(out);
        EXPECT_EQ(get_px(out.get(), p.x, p.y), (Px{p.red, p.green, 0.25f, 1.0f}))
            << "probe " << &p - probes;
    }
    Img grown = resample(ramp(1, 1), 3, 3);
    for (float c : get_px(grown.get(), 2, 2)) EXPECT_FALSE(std::isnan(c));
}

// An empty target gives an empty image, an empty source a white one, and a
// target of 2^32 bytes or more null.
TEST(Resample, EdgeSizes) {
    Img src = ramp(4, 4);
    Img empty = resample(src, 0, 3);
    ASSERT_TRUE(empty);
    EXPECT_EQ(imgbuf_w(empty.get()), 0u);
    EXPECT_EQ(imgbuf_h(empty.get()), 3u);
    EXPECT_FALSE(resample(src, 1u << 14, 1u << 14));
    Img white = resample(make_img(0, 0), 3, 2);
    ASSERT_TRUE(white);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            for (float c : get_px(white.get(), x, y)) EXPECT_NEAR(c, 1.0f, 1e-6f);
}
