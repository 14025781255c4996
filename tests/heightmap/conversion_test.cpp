#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "heightmap_helpers.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The conversion as a table of channels read, written independently of the
// library's variant tables.
Px reference(const Px& p, uint32_t mode, uint32_t flags) {
    const auto inv = [&](int c) { return (flags & (2u << c)) != 0; };
    const auto ch = [&](int c) { return inv(c) ? 1.0f - p[c] : p[c]; };
    const auto al = [&](int c) { return inv(c) ? 1.0f - p[3] : p[3]; };
    const auto unit = [](float v) { return std::isnan(v) ? 1.0f : std::clamp(v, 0.0f, 1.0f); };
    const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    float h, a;
    if (mode <= 2) {
        h = ch(mode);
        a = p[3];
    } else if (mode <= 5) {
        const auto [c1, c2] = pairs[mode - 3];
        h = unit(0.5f * (ch(c1) + ch(c2)));
        a = unit(0.5f * (al(c1) + al(c2)));
    } else if (mode == 6) {
        h = unit(((ch(1) + ch(0)) + ch(2)) * 0.333333343f);
        a = unit(((al(1) + al(0)) + al(2)) * 0.333333343f);
    } else {
        h = 0.114f * unit(ch(2)) + (0.299f * unit(ch(0)) + 0.587f * unit(ch(1)));
        a = 1.0f;
    }
    return {h, h, h, a};
}

}  // namespace

class Conversion : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {};

TEST_P(Conversion, EveryModeAndInversionMatchesItsFormula) {
    const auto [mode, inversions] = GetParam();
    const uint32_t flags = inversions << 1;
    std::mt19937 rng(mode * 8 + inversions);
    std::uniform_real_distribution<float> v(-0.5f, 1.5f);
    Img src = image_of(7, 3, [&](uint32_t x, uint32_t) {
        Px p{v(rng), v(rng), v(rng), v(rng)};
        if (x < 4) p[x] = kNaN;  // a NaN in each channel in turn
        return p;
    });
    Img out = heightmap(src.get(), {.mode = mode, .flags = flags});
    ASSERT_TRUE(out);
    for (uint32_t y = 0; y < 3; ++y) {
        for (uint32_t x = 0; x < 7; ++x) {
            const Px got = get_px(out.get(), x, y),
                     want = reference(get_px(src.get(), x, y), mode, flags);
            for (int c = 0; c < 4; ++c)
                EXPECT_TRUE(same_value(got[c], want[c])) << x << "," << y << " c" << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Conversion,
                         ::testing::Combine(::testing::Range(0u, 8u), ::testing::Range(0u, 8u)));

struct Example {
    Px in;
    uint32_t mode, flags;
    Px out;
};
class ConversionExample : public ::testing::TestWithParam<Example> {};

TEST_P(ConversionExample, GivesTheStatedPixel) {
    const Example e = GetParam();
    Img src = image_of(1, 1, [&](uint32_t, uint32_t) { return e.in; });
    const Px got = get_px(heightmap(src.get(), {.mode = e.mode, .flags = e.flags}).get(), 0, 0);
    for (int c = 0; c < 4; ++c) {
        if (std::isnan(e.out[c]))
            EXPECT_TRUE(std::isnan(got[c]));
        else
            EXPECT_FLOAT_EQ(got[c], e.out[c]) << c;
    }
}

const Px kPhoto{0.2f, 0.6f, 0.9f, 0.5f};
INSTANTIATE_TEST_SUITE_P(
    Table, ConversionExample,
    ::testing::Values(Example{kPhoto, 0, 0, {0.2f, 0.2f, 0.2f, 0.5f}},
                      Example{kPhoto, 0, HM_INVERT_RED, {0.8f, 0.8f, 0.8f, 0.5f}},
                      Example{kPhoto, 3, 0, {0.4f, 0.4f, 0.4f, 0.5f}},
                      Example{kPhoto, 3, HM_INVERT_GREEN, {0.3f, 0.3f, 0.3f, 0.5f}},
                      Example{kPhoto, 7, 0, {0.5146f, 0.5146f, 0.5146f, 1.0f}},
                      Example{kPhoto, 1, HM_INVERT_RED | HM_INVERT_BLUE, {0.6f, 0.6f, 0.6f, 0.5f}},
                      Example{kPhoto, 4, HM_INVERT_GREEN, {0.55f, 0.55f, 0.55f, 0.5f}},
                      Example{{0.1f, 0.2f, 0.4f, 0.25f},
                              5,
                              HM_INVERT_GREEN | HM_INVERT_BLUE,
                              {0.7f, 0.7f, 0.7f, 0.75f}},
                      Example{{1.5f, 0, 0, 1}, 0, HM_INVERT_RED, {-0.5f, -0.5f, -0.5f, 1}},
                      Example{{1.5f, 0.9f, 0, 1}, 3, 0, {1, 1, 1, 1}},
                      Example{{-0.5f, 0.1f, 0, 1}, 3, 0, {0, 0, 0, 1}},
                      Example{{kNaN, 0.2f, 0, 1}, 3, 0, {1, 1, 1, 1}},
                      Example{{kNaN, 0, 0, 1}, 7, 0, {0.299f, 0.299f, 0.299f, 1}},
                      Example{{kNaN, 0, 0, 1}, 0, 0, {kNaN, kNaN, kNaN, 1}}));

TEST(Conversion, LuminanceModeIsCalcLuminanceInplace) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> v(-0.5f, 1.5f);
    Img src = image_of(9, 4, [&](uint32_t x, uint32_t) {
        return Px{x == 0 ? kNaN : v(rng), v(rng), v(rng), v(rng)};
    });
    Img out = heightmap(src.get(), {.mode = 7});
    calc_luminance_inplace(src.get());
    EXPECT_TRUE(same_image(out.get(), src.get()));
}
