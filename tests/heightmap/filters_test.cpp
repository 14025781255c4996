#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>

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


Img detailed(const imgbuf* src, uint32_t size, float threshold) {
    return heightmap(src, {.flags = HM_DETAIL_FILTER, .detail_size = size, .threshold = threshold});
}

}  // namespace

// Pairs of arguments that must (or must not) give the same map: sizes below 3
// and unknown kinds do nothing, even sizes round down, sizes cap at 99, a
// threshold that selects nothing does nothing and one above every edge is the
// plain smoothing, and the midpoint bends once it is an epsilon from a half.
struct Equivalence {
    Params a, b;
    bool same;
};

TEST(Arguments, MapToTheSameOperation) {
    const Params plain{};
    const Equivalence table[] = {
        {{.flags = HM_SMOOTH, .smooth_size = 0}, plain, true},
        {{.flags = HM_SMOOTH, .smooth_size = 1, .smooth_kind = 1}, plain, true},
        {{.flags = HM_SMOOTH, .smooth_size = 2, .smooth_kind = 2}, plain, true},
        {{.flags = HM_SMOOTH, .smooth_size = 5, .smooth_kind = 3}, plain, true},
        {{.flags = HM_SMOOTH, .smooth_size = 5, .smooth_kind = 1}, plain, false},
        {{.flags = HM_SMOOTH, .smooth_size = 5, .smooth_kind = 2}, plain, false},
        {{.flags = HM_SMOOTH, .smooth_size = 5, .smooth_kind = 2},
         {.flags = HM_SMOOTH, .smooth_size = 5, .smooth_kind = 1}, false},
        {{.flags = HM_SMOOTH, .smooth_size = 4}, {.flags = HM_SMOOTH, .smooth_size = 3}, true},
        {{.flags = HM_SMOOTH, .smooth_size = 4, .smooth_kind = 1},
         {.flags = HM_SMOOTH, .smooth_size = 3, .smooth_kind = 1}, true},
        {{.flags = HM_SMOOTH, .smooth_size = 4, .smooth_kind = 2},
         {.flags = HM_SMOOTH, .smooth_size = 3, .smooth_kind = 2}, true},
        {{.flags = HM_SMOOTH, .smooth_size = 100}, {.flags = HM_SMOOTH, .smooth_size = 99}, true},
        {{.flags = HM_SMOOTH, .smooth_size = 101, .smooth_kind = 1},
         {.flags = HM_SMOOTH, .smooth_size = 99, .smooth_kind = 1}, true},
        {{.flags = HM_SMOOTH, .smooth_size = UINT32_MAX, .smooth_kind = 2},
         {.flags = HM_SMOOTH, .smooth_size = 99, .smooth_kind = 2}, true},
        {{.flags = HM_DETAIL_FILTER, .detail_size = 2, .threshold = 1}, plain, true},
        {{.flags = HM_DETAIL_FILTER, .detail_size = 5, .threshold = 0}, plain, true},
        {{.flags = HM_DETAIL_FILTER, .detail_size = 5, .threshold = -1}, plain, true},
        {{.flags = HM_DETAIL_FILTER, .detail_size = 5, .threshold = std::nanf("")}, plain, true},
        {{.flags = HM_DETAIL_FILTER, .detail_size = 7, .threshold = 0.6f},
         {.flags = HM_SMOOTH, .smooth_size = 7}, true},
        {{.midpoint = 0.5000001f}, plain, true},
        {{.midpoint = 0.49999988f}, plain, true},
        {{.midpoint = 0.5000002f}, plain, false},
        {{.midpoint = std::nextafter(0.49999988f, 0.0f)}, plain, false},
    };
    const Img src = terrain(23, 17, 1);
    for (const Equivalence& e : table)
        EXPECT_EQ(same_image(heightmap(src.get(), e.a).get(), heightmap(src.get(), e.b).get()), e.same)
            << &e - table;
    EXPECT_TRUE(std::isnan(get_px(heightmap(src.get(), {.midpoint = std::nanf("")}).get(), 0, 0)[0]));
}

TEST(FinalSmoothing, TentOfThreeWeighsNeighboursOneTwoOne) {
    Img src = image_of(3, 2, [](uint32_t x, uint32_t y) {
        return Px{float(x * 4 + y * 8), 0, 0, 0.5f};
    });
    Img out = heightmap(src.get(), {.flags = HM_SMOOTH, .smooth_size = 3, .smooth_kind = 2});
    // Rows: (1a + 2a + 1b) / 4 at the left edge; columns likewise with the row
    // below repeated. Row 0 blurs to 1, 4, 7 and row 1 to 9, 12, 15.
    EXPECT_EQ(get_px(out.get(), 0, 0)[0], ((1 + 2) * 1.0f + 1 * 9.0f) * 0.25f);
    EXPECT_EQ(get_px(out.get(), 2, 1)[0], (1 * 7.0f + (2 + 1) * 15.0f) * 0.25f);
    EXPECT_EQ(get_px(out.get(), 2, 1)[3], 1.0f);
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
