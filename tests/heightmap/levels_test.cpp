#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "heightmap/levels.h"
#include "heightmap_helpers.h"

using namespace rk;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

Img greys(const std::vector<float>& reds) {
    return image_of(uint32_t(reds.size()), 1, [&](uint32_t x, uint32_t) {
        return Px{reds[x], reds[x], reds[x], 0.5f};
    });
}

float red(const Img& img, uint32_t x) {
    return get_px(img.get(), x, 0)[0];
}

// Auto-levels subtracts the lowest red (taken within 0..1, NaN ignored) unless
// it lies within 0.0001 of the highest; alpha stays.
TEST(AutoLevels, ShiftsTheDarkestRedToZeroOrNothing) {
    const struct {
        std::vector<float> reds;
        float shift;  // 0: the image stays as it is
    } table[] = {
        {{0.3f, 0.8f, 0.5f}, 0.3f}, {{0.5f, 0.50009f}, 0},  {{0.5f, 0.50011f}, 0.5f},
        {{101.0f, 150.0f}, 0},      {{150.0f, 0.5f}, 0.5f}, {{-0.5f, -0.2f}, 0},
        {{kNaN, 0.2f, 0.7f}, 0.2f},
    };
    for (const auto& c : table) {
        Img img = greys(c.reds);
        auto_levels(img.get());
        for (uint32_t x = 0; x < c.reds.size(); ++x) {
            const float want = c.shift == 0.0f ? c.reds[x] : c.reds[x] - c.shift;
            const float got = red(img, x);
            EXPECT_TRUE(same_bits(got, want) || (std::isnan(got) && std::isnan(want)))
                << "case " << &c - table << ", pixel " << x;
            EXPECT_EQ(get_px(img.get(), x, 0)[3], 0.5f);
        }
    }
}

// Two segments through (m, 0.5); m within an epsilon of 0 or 1 does nothing.
TEST(MidpointCurve, TwoSegmentsThroughTheMidpoint) {
    Img q = greys({0.25f, 0.125f, 1.0f, 0.0f, 2.0f});
    midpoint_curve(q.get(), 0.25f);
    EXPECT_FLOAT_EQ(red(q, 0), 0.5f);
    EXPECT_EQ(red(q, 1), 0.25f);
    EXPECT_FLOAT_EQ(red(q, 2), 1.0f);
    EXPECT_EQ(red(q, 3), 0.0f);
    EXPECT_FLOAT_EQ(red(q, 4), 5.0f / 3.0f);  // outside 0..1 the outer segment continues
    Img t = greys({0.75f, 0.375f});
    midpoint_curve(t.get(), 0.75f);
    EXPECT_FLOAT_EQ(red(t, 0), 0.5f);
    EXPECT_EQ(red(t, 1), 0.25f);
    Img colour = filled(1, 1, Px{0.125f, 0.9f, 0.1f, 0.3f});
    midpoint_curve(colour.get(), 0.25f);
    EXPECT_EQ(get_px(colour.get(), 0, 0), (Px{0.25f, 0.25f, 0.25f, 0.3f}));
    for (float m :
         {0.0f, FLT_EPSILON, -FLT_EPSILON, 1.0f, 1.0f - FLT_EPSILON, 1.0f + FLT_EPSILON}) {
        Img img = greys({0.1f});
        midpoint_curve(img.get(), m);
        EXPECT_EQ(red(img, 0), 0.1f) << m;
    }
    Img beyond = greys({0.1f});
    midpoint_curve(beyond.get(), 1.0f + 2 * FLT_EPSILON);
    EXPECT_NE(red(beyond, 0), 0.1f);
}

TEST(ClampStep, LimitsRedAndSetsAlpha) {
    Img img = image_of(3, 1, [&](uint32_t x, uint32_t) {
        return x == 0 ? Px{0.9f, 0.1f, 0.5f, 0.3f} : Px{x == 1 ? 0.1f : kNaN, 0, 0, 0.3f};
    });
    clamp_step(img.get(), 0.2f, 0.8f);
    EXPECT_EQ(get_px(img.get(), 0, 0), (Px{0.8f, 0.8f, 0.8f, 1.0f}));
    EXPECT_EQ(get_px(img.get(), 1, 0), (Px{0.2f, 0.2f, 0.2f, 1.0f}));
    EXPECT_EQ(get_px(img.get(), 2, 0), (Px{0.8f, 0.8f, 0.8f, 1.0f}));
    clamp_step(img.get(), 0.7f, 0.3f);
    EXPECT_EQ(red(img, 0), 0.7f);
}

// The epsilon tests of the pipeline, bounds included.
TEST(Pipeline, WeightsNearZeroGiveBlack) {
    Img src = image_of(3, 2, [](uint32_t x, uint32_t) { return Px{0.2f * x, 0.5f, 0.9f, 0.4f}; });
    const float above = std::nextafter(FLT_EPSILON, 1.0f);
    const struct {
        float w1, w2, w3;
        bool black;
    } table[] = {{0, 0, 0, true},
                 {FLT_EPSILON, -FLT_EPSILON, 0, true},
                 {above, 0, 0, false},
                 {0, 0, 0.5f, false},
                 {kNaN, 0, 0, false}};
    for (const auto& w : table) {
        Img out =
            heightmap(src.get(), {.mode = 7, .flags = 0xFE, .w1 = w.w1, .w2 = w.w2, .w3 = w.w3});
        EXPECT_EQ(get_px(out.get(), 2, 1) == (Px{0, 0, 0, 1}), w.black) << w.w1 << " " << w.w2;
    }
}

}  // namespace
