#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <tuple>

#include "heightmap/height_blurs.h"
#include "heightmap_helpers.h"
#include "filter/kernel_cache.h"

using namespace rk;

namespace {

// A grey image of heights in 0..1 (alpha 0.5) with flat areas and edges of
// several strengths.
Img terrain(uint32_t w, uint32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> level(0, 4);
    std::vector<float> blocks(64);
    for (float& b : blocks) b = level(rng) * 0.25f;
    return image_of(w, h, [&](uint32_t x, uint32_t y) {
        const float v = blocks[(y / 3 % 8) * 8 + x / 4 % 8];
        return Px{v, v, v, 0.5f};
    });
}

Img smoothed(const imgbuf* src, uint32_t size, uint32_t kind) {
    return heightmap(src, {.flags = HM_SMOOTH, .smooth_size = size, .smooth_kind = kind});
}

Img detailed(const imgbuf* src, uint32_t size, float threshold) {
    return heightmap(src, {.flags = HM_DETAIL_FILTER, .detail_size = size, .threshold = threshold});
}

}  // namespace

TEST(KernelSizeRule, NoneOddOrCapped) {
    const std::pair<uint32_t, std::optional<uint32_t>> table[] = {
        {0, {}}, {1, {}},  {2, {}},   {3, 3},    {4, 3},
        {9, 9},  {99, 99}, {100, 99}, {101, 99}, {UINT32_MAX, 99}};
    for (const auto& [requested, size] : table)
        EXPECT_EQ(heightmap_kernel_size(requested), size) << requested;
}

TEST(FinalSmoothing, SizeRuleAndKinds) {
    Img src = terrain(23, 17, 1);
    const Img plain = heightmap(src.get(), {});
    for (uint32_t kind : {0u, 1u, 2u}) {
        for (uint32_t size : {0u, 1u, 2u})
            EXPECT_TRUE(same_image(smoothed(src.get(), size, kind).get(), plain.get()));
        EXPECT_TRUE(
            same_image(smoothed(src.get(), 4, kind).get(), smoothed(src.get(), 3, kind).get()));
        const Img s99 = smoothed(src.get(), 99, kind);
        for (uint32_t size : {100u, 101u, 500u})
            EXPECT_TRUE(same_image(smoothed(src.get(), size, kind).get(), s99.get()));
    }
    EXPECT_TRUE(same_image(smoothed(src.get(), 5, 3).get(), plain.get()));  // no such kind
}

TEST(FinalSmoothing, TentOfThreeWeighsNeighboursOneTwoOne) {
    Img src = image_of(3, 2, [](uint32_t x, uint32_t y) {
        return Px{float(x * 4 + y * 8), 0, 0, 0.5f};
    });
    Img out = smoothed(src.get(), 3, 2);
    // Rows: (1a + 2a + 1b) / 4 at the left edge; columns likewise with the row
    // below repeated. Row 0 blurs to 1, 4, 7 and row 1 to 9, 12, 15.
    EXPECT_EQ(get_px(out.get(), 0, 0)[0], ((1 + 2) * 1.0f + 1 * 9.0f) * 0.25f);
    EXPECT_EQ(get_px(out.get(), 2, 1)[0], (1 * 7.0f + (2 + 1) * 15.0f) * 0.25f);
    EXPECT_EQ(get_px(out.get(), 2, 1)[3], 1.0f);
}

TEST(DetailFilter, SizeOrThresholdThatSelectsNothingChangesNothing) {
    Img src = terrain(20, 12, 2);
    const Img plain = heightmap(src.get(), {});
    for (uint32_t size : {0u, 1u, 2u})
        EXPECT_TRUE(same_image(detailed(src.get(), size, 1.0f).get(), plain.get()));
    for (float t : {0.0f, -1.0f, std::nanf("")})
        EXPECT_TRUE(same_image(detailed(src.get(), 5, t).get(), plain.get()));
}

TEST(DetailFilter, ThresholdAboveAllEdgesIsTheGaussianSmoothing) {
    Img src = terrain(31, 19, 3);
    EXPECT_TRUE(same_image(detailed(src.get(), 7, 0.6f).get(), smoothed(src.get(), 7, 0).get()));
}

TEST(DetailFilter, StepKeepsItsEdgePixelsStrictlyBelowThreshold) {
    Img src = image_of(12, 5, [](uint32_t x, uint32_t) {
        return x >= 5 ? Px{1, 1, 1, 0.5f} : Px{0, 0, 0, 0.5f};
    });
    for (float t : {0.1f, 0.25f}) {  // columns 4 and 5 have edge strength 0.25
        Img out = detailed(src.get(), 5, t);
        for (uint32_t x = 0; x < 12; ++x) {
            const Px p = get_px(out.get(), x, 2);
            if (x == 4 || x == 5)
                EXPECT_EQ(p, get_px(src.get(), x, 2)) << x;
            else
                EXPECT_EQ(p[3], 1.0f) << x;
        }
        EXPECT_GT(get_px(out.get(), 3, 2)[0], 0.0f);
    }
    EXPECT_EQ(get_px(detailed(src.get(), 5, std::nextafter(0.25f, 1.0f)).get(), 4, 2)[3], 1.0f);
}

// Heights within, across and far beyond the blur's bands, and a kernel longer
// than the image: the results are pinned.
struct Shape {
    uint32_t w, h, size;
    uint64_t want;
};
class DetailShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(DetailShapes, Pinned) {
    const Shape s = GetParam();
    EXPECT_EQ(fingerprint(detailed(terrain(s.w, s.h, 4).get(), s.size, 0.2f).get()), s.want);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DetailShapes,
                         ::testing::Values(Shape{45, 26, 9, 2858743094714899603u}, Shape{20, 5, 9, 3261406806672621036u},
                                           Shape{45, 70, 15, 579739562460934482u}, Shape{33, 100, 31, 13706309923983896239u},
                                           Shape{7, 40, 99, 4481128297341882912u}));
