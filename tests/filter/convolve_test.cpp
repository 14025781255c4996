#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "common/thread_pool.h"
#include "filter/convolve.h"
#include "filter/convolve_paths.h"
#include "filter/kernel_cache.h"

using namespace rk;

namespace {

ImgbufPtr random_image(uint32_t w, uint32_t h, uint32_t seed) {
    ImgbufPtr img = make_image(w, h);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-0.5f, 1.5f);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < 4 * w; ++i) row_unchecked(img.get(), y)[i] = value(rng);
    return img;
}

ImgbufPtr constant_image(uint32_t w, uint32_t h, const float px[4]) {
    ImgbufPtr img = make_image(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) row_unchecked(img.get(), y)[4 * x + c] = px[c];
    return img;
}

const float* px(const imgbuf* img, uint32_t x, uint32_t y) {
    return row_unchecked(img, y) + 4 * x;
}

bool same_pixels(const imgbuf* a, const imgbuf* b) {
    return std::memcmp(a->pixels, b->pixels, size_t{a->width} * a->height * 16) == 0;
}

// Taps with distinct weights, so that a tap on the wrong pixel shows.
struct PlainTaps {
    std::vector<float> w4;
    explicit PlainTaps(std::initializer_list<float> w) {
        for (float v : w) w4.insert(w4.end(), {v, v, v, v});
    }
    Taps4 taps() const { return reinterpret_cast<Taps4>(w4.data()); }
    uint32_t size() const { return static_cast<uint32_t>(w4.size() / 4); }
};

}  // namespace

TEST(ConvolveRows, ConstantStaysConstantAndAlphaIsOne) {
    const float c[4] = {0.37f, 0.37f, 0.37f, 0.2f};
    for (auto kind : {KERNEL_GAUSSIAN, KERNEL_BOX, KERNEL_TENT}) {
        for (uint32_t n : {3u, 7u, 99u}) {
            const BlurKernel* k = kernel_cache_get(kind, n);
            ImgbufPtr src = constant_image(120, 3, c), dst = make_image(120, 3);
            convolve_rows(dst.get(), src.get(), k->weights4, n, k->norm, 119, 2);
            for (uint32_t x : {0u, 1u, 50u, 118u, 119u}) {
                for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(px(dst.get(), x, 1)[ch], 0.37f, 4e-7f);
                EXPECT_EQ(px(dst.get(), x, 1)[3], 1.0f);
            }
        }
    }
}

TEST(ConvolveRows, EdgeTapsTakeTheEdgePixel) {
    // Size 5 at x = 0: taps 0..2 see pixel 0, taps 3 and 4 pixels 1 and 2; at the
    // last x taps 2..4 see the last pixel.
    const PlainTaps t{1, 10, 100, 1000, 10000};
    ImgbufPtr src = make_image(6, 1), dst = make_image(6, 1);
    for (uint32_t x = 0; x < 6; ++x)
        for (int c = 0; c < 4; ++c) row_unchecked(src.get(), 0)[4 * x + c] = float(x + 1);
    convolve_rows(dst.get(), src.get(), t.taps(), t.size(), 1.0f, 5, 0);
    EXPECT_EQ(px(dst.get(), 0, 0)[0], 111.0f * 1 + 1000 * 2 + 10000 * 3);
    EXPECT_EQ(px(dst.get(), 5, 0)[2], 1.0f * 4 + 10 * 5 + 11100 * 6);
    convolve_columns(dst.get(), src.get(), t.taps(), t.size(), 1.0f, 5, 0);
    EXPECT_EQ(px(dst.get(), 3, 0)[1], 11111.0f * 4);  // a single row: every tap on it
}

TEST(ConvolveRows, RectangleClampsAtItsOwnLastColumnAndRow) {
    const BlurKernel* k = kernel_cache_get(KERNEL_TENT, 5);
    ImgbufPtr src = random_image(9, 6, 1), dst = random_image(9, 6, 2),
              before = random_image(9, 6, 2);
    convolve_rows(dst.get(), src.get(), k->weights4, 5, k->norm, 4, 2);
    for (uint32_t y = 0; y < 6; ++y) {
        for (uint32_t x = 0; x < 9; ++x) {
            float want[4];
            if (x <= 4 && y <= 2) {
                convolve_row_at(want, row_unchecked(src.get(), y), k->weights4, 5, k->norm, 5, x);
            } else {
                std::memcpy(want, px(before.get(), x, y), sizeof want);
            }
            EXPECT_EQ(std::memcmp(want, px(dst.get(), x, y), 16), 0) << x << "," << y;
        }
    }
}

TEST(ConvolveRows, KernelLongerThanAnyTableStillClamps) {
    PlainTaps t{};
    for (int k = 0; k < 300; ++k) t.w4.insert(t.w4.end(), 4, float(k % 7));
    ImgbufPtr src = random_image(5, 3, 6), rows = make_image(5, 3), cols = make_image(5, 3);
    convolve_rows(rows.get(), src.get(), t.taps(), t.size(), 0.01f, 4, 2);
    convolve_columns(cols.get(), src.get(), t.taps(), t.size(), 0.01f, 4, 2);
    float r[4], c[4];
    convolve_row_at(r, row_unchecked(src.get(), 2), t.taps(), t.size(), 0.01f, 5, 4);
    convolve_column_at(c, src.get(), t.taps(), t.size(), 0.01f, 3, 4, 2);
    EXPECT_EQ(std::memcmp(r, px(rows.get(), 4, 2), 16), 0);
    EXPECT_EQ(std::memcmp(c, px(cols.get(), 4, 2), 16), 0);
}

// Each build of the passes against the single-pixel forms (the plain sum in tap
// order), bit for bit: kinds, sizes, and lines shorter than the kernel.
class ConvolvePaths : public ::testing::TestWithParam<ConvolvePath> {};

TEST_P(ConvolvePaths, BitIdenticalToThePlainPath) {
    const ConvolvePath path = GetParam();
    if (!convolve_path_supported(path)) GTEST_SKIP() << "processor lacks this instruction set";
    const std::tuple<KernelKind, uint32_t, uint32_t, uint32_t> shapes[] = {
        {KERNEL_GAUSSIAN, 3, 1, 131}, {KERNEL_BOX, 5, 7, 4},   {KERNEL_TENT, 15, 98, 1},
        {KERNEL_GAUSSIAN, 99, 300, 4}, {KERNEL_BOX, 253, 2, 131}, {KERNEL_TENT, 3, 300, 131}};
    for (const auto& [kind, n, w, h] : shapes) {
        const BlurKernel* k = kernel_cache_get(kind, n);
        ImgbufPtr src = random_image(w, h, n * 7919 + w * 31 + h);
        ImgbufPtr rows = make_image(w, h), cols = make_image(w, h);
        convolve_rows_on(path, rows.get(), src.get(), k->weights4, n, k->norm, w - 1, h - 1);
        convolve_columns_on(path, cols.get(), src.get(), k->weights4, n, k->norm, w - 1, h - 1);
        int mismatches = 0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                float r[4], c[4];
                convolve_row_at(r, row_unchecked(src.get(), y), k->weights4, n, k->norm, w, x);
                convolve_column_at(c, src.get(), k->weights4, n, k->norm, h, x, y);
                mismatches += std::memcmp(r, px(rows.get(), x, y), 16) != 0;
                mismatches += std::memcmp(c, px(cols.get(), x, y), 16) != 0;
            }
        }
        EXPECT_EQ(mismatches, 0) << n << " " << w << "x" << h;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, ConvolvePaths,
                         ::testing::Values(CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512));

// The banded blur against rows into a temporary image and columns back, bit for
// bit, on every build and thread count: heights below, at and across the band and
// ring sizes and the threads' chunks, and kernels longer than the image.
class BandedBlur : public ::testing::TestWithParam<ConvolvePath> {};

TEST_P(BandedBlur, SameBitsAsTwoWholePassesOnAnyThreadCount) {
    const ConvolvePath path = GetParam();
    if (!convolve_path_supported(path)) GTEST_SKIP() << "processor lacks this instruction set";
    const std::tuple<KernelKind, uint32_t, uint32_t, uint32_t> shapes[] = {
        {KERNEL_GAUSSIAN, 3, 5, 1},    {KERNEL_GAUSSIAN, 3, 140, 15}, {KERNEL_GAUSSIAN, 9, 5, 16},
        {KERNEL_GAUSSIAN, 9, 140, 17}, {KERNEL_GAUSSIAN, 31, 1, 33},  {KERNEL_GAUSSIAN, 9, 5, 2},
        {KERNEL_GAUSSIAN, 253, 140, 200}, {KERNEL_TENT, 99, 19, 1100}, {KERNEL_TENT, 253, 2, 2153}};
    for (const auto& [kind, n, w, h] : shapes) {
        const BlurKernel* k = kernel_cache_get(kind, n);
        ImgbufPtr src = random_image(w, h, n * 131 + w * 7 + h);
        ImgbufPtr tmp = make_image(w, h), want = make_image(w, h);
        convolve_rows_on(path, tmp.get(), src.get(), k->weights4, n, k->norm, w - 1, h - 1);
        convolve_columns_on(path, want.get(), tmp.get(), k->weights4, n, k->norm, w - 1, h - 1);
        for (uint32_t threads : {1u, 5u}) {
            ImgbufPtr img = random_image(w, h, n * 131 + w * 7 + h);
            set_thread_count_to(threads);
            ASSERT_TRUE(blur_in_bands_on(path, img.get(), k->weights4, n, k->norm));
            set_thread_count_to(0);
            EXPECT_TRUE(same_pixels(img.get(), want.get())) << n << " " << w << "x" << h << " " << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, BandedBlur,
                         ::testing::Values(CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512));

// The observer sees every row's horizontal result once, in order, before any
// band reads it, and every output row in exactly one band, one image stride
// apart (a build may lay its ring out wider); what it changes in a row is what
// the vertical pass sums.
TEST_P(BandedBlur, ObserverSeesEachRowOnceAndItsChangesCount) {
    if (!convolve_path_supported(GetParam())) GTEST_SKIP() << "processor lacks this instruction set";
    struct Recorder final : BandObserver {
        std::vector<uint32_t> rows;
        std::vector<std::pair<uint32_t, uint32_t>> bands;
        size_t stride = 0;
        float red = 0.0f;
        void row_done(uint32_t, uint32_t y, float* row) noexcept override {
            rows.push_back(y);
            row[0] = 1.0f;  // red of pixel 0 becomes 1 in every horizontal result
        }
        void band_done(uint32_t, uint32_t y0, uint32_t y1, const BandRing& ring,
                       float* out) noexcept override {
            bands.emplace_back(y0, y1);
            for (uint32_t y = y0; y < y1; ++y) EXPECT_EQ(ring.row(y)[0], 1.0f);
            for (uint32_t y = y0; y < y1; ++y) EXPECT_EQ(out[(y - y0) * stride], red) << y;
        }
    };
    const uint32_t w = 9, h = 70;
    const PlainTaps t{0.5f, 1.0f, 0.25f, 1.0f, 0.5f};
    const float zero[4] = {0, 0, 0, 0};
    ImgbufPtr img = constant_image(w, h, zero);
    Recorder rec;
    rec.stride = stride_floats(img.get());
    rec.red = (((0.5f + 1.0f) + 0.25f) + 1.0f + 0.5f) * 0.5f;
    ASSERT_TRUE(blur_in_bands_on(GetParam(), img.get(), t.taps(), t.size(), 0.5f, &rec));
    ASSERT_EQ(rec.rows.size(), h);
    for (uint32_t y = 0; y < h; ++y) EXPECT_EQ(rec.rows[y], y);
    uint32_t next = 0;
    for (const auto& [y0, y1] : rec.bands) {
        EXPECT_EQ(y0, next);
        EXPECT_GT(y1, y0);
        next = y1;
    }
    EXPECT_EQ(next, h);
    // Each output red of column 0 sums taps * 1, times the norm; column 1 stays 0.
    for (uint32_t y = 0; y < h; ++y) {
        EXPECT_EQ(px(img.get(), 0, y)[0], rec.red) << y;
        EXPECT_EQ(px(img.get(), 1, y)[0], 0.0f);
    }
}

// Calls on the image itself, on unequal sizes, or without taps change nothing.
TEST(BandedBlur, BrokenCallsLeaveTheImageAlone) {
    const PlainTaps t{1.0f, 2.0f, 1.0f};
    ImgbufPtr img = random_image(4, 4, 3), copy = random_image(4, 4, 3),
              other = random_image(4, 5, 4);
    convolve_rows(img.get(), img.get(), t.taps(), 3, 0.25f, 3, 3);
    convolve_columns(img.get(), other.get(), t.taps(), 3, 0.25f, 3, 3);
    convolve_rows(img.get(), copy.get(), nullptr, 3, 0.25f, 3, 3);
    EXPECT_FALSE(blur_in_bands(nullptr, t.taps(), 3, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), nullptr, 3, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), t.taps(), 0, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), t.taps(), kMaxConvolveTaps + 1, 0.25f));
    EXPECT_TRUE(same_pixels(img.get(), copy.get()));
}
