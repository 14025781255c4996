#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "heightmap_helpers.h"

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

Params detail(uint32_t size, float threshold) {
    return {.flags = HM_DETAIL_FILTER, .detail_size = size, .threshold = threshold};
}

Params smooth(uint32_t size, uint32_t kind = 0) {
    return {.flags = HM_SMOOTH, .smooth_size = size, .smooth_kind = kind};
}

// Pairs of arguments that must (or must not) give the same map: sizes below 3
// and unknown kinds do nothing, even sizes round down, sizes cap at 99 (one
// rule for every kind), a threshold that selects nothing does nothing and one
// above every edge is the plain smoothing, and the midpoint bends once it is an
// epsilon from a half.
TEST(Arguments, MapToTheSameOperation) {
    const struct {
        Params a, b;
        bool same;
    } table[] = {
        {smooth(0), {}, true},
        {smooth(2, 2), {}, true},
        {smooth(5, 3), {}, true},
        {smooth(5, 1), {}, false},
        {smooth(5, 2), {}, false},
        {smooth(5, 2), smooth(5, 1), false},
        {smooth(4, 1), smooth(3, 1), true},
        {smooth(100), smooth(99), true},
        {smooth(101, 2), smooth(99, 2), true},
        {smooth(UINT32_MAX), smooth(99), true},
        {detail(2, 1), {}, true},
        {detail(5, 0), {}, true},
        {detail(5, std::nanf("")), {}, true},
        {detail(7, 0.6f), smooth(7), true},
        {{.midpoint = 0.5000001f}, {}, true},
        {{.midpoint = 0.49999988f}, {}, true},
        {{.midpoint = 0.5000002f}, {}, false},
        {{.midpoint = std::nextafter(0.49999988f, 0.0f)}, {}, false},
    };
    const Img src = terrain(23, 17, 1);
    const auto map = [&](const Params& p) { return heightmap(src.get(), p); };
    for (const auto& e : table)
        EXPECT_EQ(same_image(map(e.a).get(), map(e.b).get()), e.same) << "pair " << &e - table;
    EXPECT_TRUE(std::isnan(get_px(map({.midpoint = std::nanf("")}).get(), 0, 0)[0]));
}

TEST(FinalSmoothing, TentOfThreeWeighsNeighboursOneTwoOne) {
    Img src = image_of(3, 2, [](uint32_t x, uint32_t y) {
        return Px{float(x * 4 + y * 8), 0, 0, 0.5f};
    });
    Img out = heightmap(src.get(), smooth(3, 2));
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
        Img out = heightmap(src.get(), detail(5, t));
        for (uint32_t x = 0; x < 12; ++x) {
            const Px p = get_px(out.get(), x, 2);
            if (x == 4 || x == 5)
                EXPECT_EQ(p, get_px(src.get(), x, 2)) << x;
            else
                EXPECT_EQ(p[3], 1.0f) << x;
        }
        EXPECT_GT(get_px(out.get(), 3, 2)[0], 0.0f);
    }
    EXPECT_EQ(get_px(heightmap(src.get(), detail(5, std::nextafter(0.25f, 1.0f))).get(), 4, 2)[3],
              1.0f);
}

// Heights within, across and far beyond the blur's bands, and a kernel longer
// than the image: the results are pinned.
TEST(DetailFilter, ResultsArePinned) {
    const struct {
        uint32_t w, h, size;
        uint64_t want;
    } table[] = {
        {45, 26, 9, 2858743094714899603u}, {20, 5, 9, 3261406806672621036u},
        {45, 70, 15, 579739562460934482u}, {33, 100, 31, 13706309923983896239u},
        {7, 40, 99, 4481128297341882912u},
    };
    for (const auto& s : table) {
        const Img out = heightmap(terrain(s.w, s.h, 4).get(), detail(s.size, 0.2f));
        EXPECT_EQ(fingerprint(out.get()), s.want) << s.w << "x" << s.h << ", size " << s.size;
    }
}

}  // namespace
