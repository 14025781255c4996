#include <gtest/gtest.h>

#include <cfloat>
#include <limits>
#include <vector>

#include "heightmap/levels.h"
#include "heightmap_helpers.h"

using namespace rk;

namespace {

Img greys(const std::vector<float>& reds, float alpha = 0.5f) {
    return image_of(uint32_t(reds.size()), 1, [&](uint32_t x, uint32_t) {
        return Px{reds[x], reds[x], reds[x], alpha};
    });
}

float red(const Img& img, uint32_t x) {
    return get_px(img.get(), x, 0)[0];
}

}  // namespace

struct AutoCase {
    std::vector<float> reds;
    float shift;  // 0: the image stays as it is
};
class AutoLevels : public ::testing::TestWithParam<AutoCase> {};

TEST_P(AutoLevels, ShiftsTheDarkestRedToZeroOrNothing) {
    const AutoCase c = GetParam();
    Img img = greys(c.reds);
    auto_levels(img.get());
    for (uint32_t x = 0; x < c.reds.size(); ++x) {
        const float want = c.shift == 0.0f ? c.reds[x] : c.reds[x] - c.shift;
        EXPECT_TRUE(same_value(red(img, x), want)) << x;
        EXPECT_EQ(get_px(img.get(), x, 0)[3], 0.5f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutoLevels,
    ::testing::Values(AutoCase{{0.3f, 0.8f, 0.5f}, 0.3f}, AutoCase{{0.5f, 0.50009f}, 0},
                      AutoCase{{0.5f, 0.50011f}, 0.5f}, AutoCase{{101.0f, 150.0f}, 0},
                      AutoCase{{150.0f, 0.5f}, 0.5f}, AutoCase{{-0.5f, -0.2f}, 0},
                      AutoCase{{std::numeric_limits<float>::quiet_NaN(), 0.2f, 0.7f}, 0.2f}));

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
    Img colour = image_of(1, 1, [](uint32_t, uint32_t) { return Px{0.125f, 0.9f, 0.1f, 0.3f}; });
    midpoint_curve(colour.get(), 0.25f);
    EXPECT_EQ(get_px(colour.get(), 0, 0), (Px{0.25f, 0.25f, 0.25f, 0.3f}));
}

TEST(MidpointCurve, NearZeroOrOneDoesNothing) {
    for (float m :
         {0.0f, FLT_EPSILON, -FLT_EPSILON, 1.0f, 1.0f - FLT_EPSILON, 1.0f + FLT_EPSILON}) {
        Img img = greys({0.1f, 0.6f});
        midpoint_curve(img.get(), m);
        EXPECT_EQ(red(img, 0), 0.1f) << m;
    }
    Img img = greys({0.1f});
    midpoint_curve(img.get(), 1.0f + 2 * FLT_EPSILON);
    EXPECT_NE(red(img, 0), 0.1f);
}

TEST(ClampStep, LimitsRedAndSetsAlpha) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Img img = image_of(3, 1, [&](uint32_t x, uint32_t) {
        return x == 0 ? Px{0.9f, 0.1f, 0.5f, 0.3f} : Px{x == 1 ? 0.1f : nan, 0, 0, 0.3f};
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
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct W {
        float w1, w2, w3;
        bool black;
    };
    for (const W w : {W{0, 0, 0, true}, W{FLT_EPSILON, -FLT_EPSILON, 0, true},
                      W{above, 0, 0, false}, W{0, 0, 0.5f, false}, W{nan, 0, 0, false}}) {
        Img out =
            heightmap(src.get(), {.mode = 7, .flags = 0xFE, .w1 = w.w1, .w2 = w.w2, .w3 = w.w3});
        EXPECT_EQ(get_px(out.get(), 2, 1) == (Px{0, 0, 0, 1}), w.black) << w.w1 << " " << w.w2;
    }
}

