#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "filter/convolve_paths.h"
#include "filter/kernel_cache.h"
#include "image_helpers.h"

using namespace rk;

namespace {

// Taps with distinct weights, so that a tap on the wrong pixel shows.
struct PlainTaps {
    std::vector<float> w4;
    explicit PlainTaps(std::initializer_list<float> w) {
        for (float v : w) w4.insert(w4.end(), {v, v, v, v});
    }
    Taps4 taps() const { return reinterpret_cast<Taps4>(w4.data()); }
    uint32_t size() const { return static_cast<uint32_t>(w4.size() / 4); }
};

// The image's pixel has exactly the bits of want.
bool same_pixel(const float want[4], const imgbuf* img, uint32_t x, uint32_t y) {
    return std::memcmp(want, imgbuf_row(img, y) + 4 * x, 4 * sizeof(float)) == 0;
}

}  // namespace

TEST(ConvolveRows, EdgeTapsTakeTheEdgePixel) {
    // Size 5 at x = 0: taps 0..2 see pixel 0, taps 3 and 4 pixels 1 and 2; at the
    // last x taps 2..4 see the last pixel. Alpha becomes 1.
    const PlainTaps t{1, 10, 100, 1000, 10000};
    Img src = make_img(6, 1), dst = make_img(6, 1);
    for (uint32_t x = 0; x < 6; ++x)
        set_px(src.get(), x, 0, {x + 1.0f, x + 1.0f, x + 1.0f, x + 1.0f});
    convolve_rows(dst.get(), src.get(), t.taps(), t.size(), 1.0f, 5, 0);
    EXPECT_EQ(get_px(dst.get(), 0, 0)[0], 111.0f * 1 + 1000 * 2 + 10000 * 3);
    EXPECT_EQ(get_px(dst.get(), 5, 0)[2], 1.0f * 4 + 10 * 5 + 11100 * 6);
    EXPECT_EQ(get_px(dst.get(), 5, 0)[3], 1.0f);
    convolve_columns(dst.get(), src.get(), t.taps(), t.size(), 1.0f, 5, 0);
    EXPECT_EQ(get_px(dst.get(), 3, 0)[1], 11111.0f * 4);  // a single row: every tap on it
}

TEST(ConvolveRows, RectangleClampsAtItsOwnLastColumnAndRow) {
    const BlurKernel* k = kernel_cache_get(KERNEL_TENT, 5);
    Img src = noise(9, 6, 1), dst = noise(9, 6, 2), before = noise(9, 6, 2);
    convolve_rows(dst.get(), src.get(), k->weights4, 5, k->norm, 4, 2);
    for (uint32_t y = 0; y < 6; ++y) {
        for (uint32_t x = 0; x < 9; ++x) {
            Px want = get_px(before.get(), x, y);
            if (x <= 4 && y <= 2)
                convolve_row_at(want.data(), imgbuf_row(src.get(), y), k->weights4, 5, k->norm, 5,
                                x);
            EXPECT_TRUE(same_pixel(want.data(), dst.get(), x, y)) << x << "," << y;
        }
    }
}

// Each instruction-set build of the passes.
class Builds : public ::testing::TestWithParam<ConvolvePath> {};

// Against the single-pixel forms (the plain sum in tap order), bit for bit:
// kinds, sizes, lines shorter than the kernel, and a kernel of 300 taps, longer
// than any build takes (summed pixel by pixel).
TEST_P(Builds, PassesMatchTheSinglePixelForms) {
    if (!convolve_path_supported(GetParam())) GTEST_SKIP() << "processor lacks this build";
    PlainTaps long_taps{};
    for (int k = 0; k < 300; ++k) long_taps.w4.insert(long_taps.w4.end(), 4, float(k % 7));
    const std::tuple<KernelKind, uint32_t, uint32_t, uint32_t> shapes[] = {
        {KERNEL_GAUSSIAN, 3, 1, 131},  {KERNEL_BOX, 5, 7, 4},     {KERNEL_TENT, 15, 98, 1},
        {KERNEL_GAUSSIAN, 99, 300, 4}, {KERNEL_BOX, 253, 2, 131}, {KERNEL_TENT, 3, 300, 131},
        {KERNEL_BOX, 300, 5, 3},       {KERNEL_GAUSSIAN, 9, 300, 20}};
    for (const auto& [kind, n, w, h] : shapes) {
        const BlurKernel* k = kernel_cache_get(kind, n);  // none for 300: the long taps
        const Taps4 taps = k ? k->weights4 : long_taps.taps();
        const float norm = k ? k->norm : 0.01f;
        Img src = noise(w, h, n * 7919 + w * 31 + h), rows = make_img(w, h), cols = make_img(w, h);
        // A quiet NaN of each sign side by side along a row and down a column:
        // every build must give the same NaN bits whichever it meets first.
        const float q = std::numeric_limits<float>::quiet_NaN();
        if (h == 20) set_px(src.get(), 100, 0, {q, q, q, 1});
        if (h == 20) set_px(src.get(), 101, 0, {-q, -q, -q, 1});
        if (h == 20) set_px(src.get(), 100, 1, {-q, -q, -q, 1});
        convolve_rows_on(GetParam(), rows.get(), src.get(), taps, n, norm, w - 1, h - 1);
        convolve_columns_on(GetParam(), cols.get(), src.get(), taps, n, norm, w - 1, h - 1);
        int mismatches = 0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                float r[4], c[4];
                convolve_row_at(r, imgbuf_row(src.get(), y), taps, n, norm, w, x);
                convolve_column_at(c, src.get(), taps, n, norm, h, x, y);
                mismatches += !same_pixel(r, rows.get(), x, y);
                mismatches += !same_pixel(c, cols.get(), x, y);
            }
        }
        EXPECT_EQ(mismatches, 0) << n << " " << w << "x" << h;
    }
}

// The banded blur against rows into a temporary image and columns back, bit for
// bit, on every thread count: heights below, at and across the band and ring
// sizes and the threads' chunks, and kernels longer than the image.
TEST_P(Builds, BandedBlurGivesTheBitsOfTwoWholePasses) {
    if (!convolve_path_supported(GetParam())) GTEST_SKIP() << "processor lacks this build";
    const std::tuple<KernelKind, uint32_t, uint32_t, uint32_t> shapes[] = {
        {KERNEL_GAUSSIAN, 3, 5, 1},       {KERNEL_GAUSSIAN, 3, 140, 15},
        {KERNEL_GAUSSIAN, 9, 5, 16},      {KERNEL_GAUSSIAN, 9, 140, 17},
        {KERNEL_GAUSSIAN, 31, 1, 33},     {KERNEL_GAUSSIAN, 9, 5, 2},
        {KERNEL_GAUSSIAN, 253, 140, 200}, {KERNEL_TENT, 99, 19, 1100},
        {KERNEL_TENT, 253, 2, 2153}};
    for (const auto& [kind, n, w, h] : shapes) {
        const BlurKernel* k = kernel_cache_get(kind, n);
        Img src = noise(w, h, n * 131 + w * 7 + h), tmp = make_img(w, h), want = make_img(w, h);
        convolve_rows_on(GetParam(), tmp.get(), src.get(), k->weights4, n, k->norm, w - 1, h - 1);
        convolve_columns_on(GetParam(), want.get(), tmp.get(), k->weights4, n, k->norm, w - 1,
                            h - 1);
        for (uint32_t threads : {1u, 5u}) {
            Img img = noise(w, h, n * 131 + w * 7 + h);
            ASSERT_TRUE(on_threads(threads, [&] {
                return blur_in_bands_on(GetParam(), img.get(), k->weights4, n, k->norm);
            }));
            EXPECT_TRUE(same_image(img.get(), want.get()))
                << n << " " << w << "x" << h << " " << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, Builds,
                         ::testing::Values(CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512));

// The observer is handed every output row in exactly one band, in order, one
// image stride apart (a build may lay its ring out wider than the image).
TEST_P(Builds, ObserverGetsBandsInOrderOneImageStrideApart) {
    if (!convolve_path_supported(GetParam())) GTEST_SKIP() << "processor lacks this build";
    struct Recorder final : BandObserver {
        size_t stride = 0;
        uint32_t next = 0;
        std::vector<float> reds;
        void row_done(uint32_t, uint32_t, float*) noexcept override {}
        void band_done(uint32_t, uint32_t y0, uint32_t y1, const BandRing&,
                       float* out) noexcept override {
            EXPECT_EQ(y0, next);
            next = y1;
            for (uint32_t y = y0; y < y1; ++y) reds.push_back(out[(y - y0) * stride]);
        }
    };
    const BlurKernel* k = kernel_cache_get(KERNEL_GAUSSIAN, 9);
    Img img = noise(4096, 70, 5);
    Recorder rec;
    rec.stride = stride_floats(img.get());
    ASSERT_TRUE(blur_in_bands_on(GetParam(), img.get(), k->weights4, 9, k->norm, &rec));
    ASSERT_EQ(rec.reds.size(), 70u);
    for (uint32_t y = 0; y < 70; ++y) EXPECT_EQ(rec.reds[y], get_px(img.get(), 0, y)[0]) << y;
}

// Calls on the image itself, on unequal sizes, on empty images or without taps
// change nothing.
TEST(Filters, BrokenCallsChangeNothing) {
    const PlainTaps t{1.0f, 2.0f, 1.0f};
    Img img = noise(4, 4, 3), copy = noise(4, 4, 3), other = noise(4, 5, 4);
    Img empty_a = make_img(0, 3), empty_b = make_img(0, 3);
    convolve_rows(img.get(), img.get(), t.taps(), 3, 0.25f, 3, 3);
    convolve_columns(img.get(), other.get(), t.taps(), 3, 0.25f, 3, 3);
    convolve_rows(img.get(), copy.get(), nullptr, 3, 0.25f, 3, 3);
    convolve_3x3(img.get(), other.get(), SOBEL_X, 8.0f);
    convolve_3x3(img.get(), img.get(), SOBEL_X, 8.0f);
    convolve_3x3(empty_a.get(), empty_b.get(), SOBEL_X, 8.0f);
    EXPECT_FALSE(blur_in_bands(nullptr, t.taps(), 3, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), nullptr, 3, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), t.taps(), 0, 0.25f));
    EXPECT_FALSE(blur_in_bands(img.get(), t.taps(), kMaxConvolveTaps + 1, 0.25f));
    EXPECT_TRUE(same_image(img.get(), copy.get()));
}
