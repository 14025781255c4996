#include <gtest/gtest.h>

#include <cmath>

#include "normalmap/normal_ops.h"
#include "image_helpers.h"

namespace {

constexpr Px kFlat{0.5f, 0.5f, 1.0f, 1.0f};
constexpr Px kSentinel{-7.0f, -7.0f, -7.0f, -7.0f};

// Heights 0.1 * x (or 0.1 * y) in red; the other channels must not matter.
Img ramp(uint32_t w, uint32_t h, bool along_x) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            set_px(img.get(), x, y, {0.1f * (along_x ? x : y), 9, -3, 0});
    return img;
}

struct RampCase {
    bool along_x;
    float strength;
    Px want;
};
void PrintTo(const RampCase& c, std::ostream* os) {
    *os << (c.along_x ? "columns" : "rows") << "_strength" << c.strength;
}
class GradientRamp : public ::testing::TestWithParam<RampCase> {};

TEST_P(GradientRamp, KnownNormals) {
    const RampCase c = GetParam();
    Img hm = ramp(5, 5, c.along_x);
    Img got = filled(5, 5, kSentinel);
    rk::normal_from_height(got.get(), hm.get(), c.strength, 2.0f);
    for (int ch = 0; ch < 4; ++ch) EXPECT_NEAR(get_px(got.get(), 2, 2)[ch], c.want[ch], 1e-7f);
    EXPECT_EQ(get_px(got.get(), 0, 2), kSentinel);  // the border is not the operator's
}

INSTANTIATE_TEST_SUITE_P(Table, GradientRamp,
                         ::testing::Values(RampCase{true, 1, {0.0760008f, 0.5f, 0.5299990f, 1}},
                                           RampCase{false, 1, {0.5f, 0.0760008f, 0.5299990f, 1}},
                                           RampCase{true, 10, {0.0009737f, 0.5f, 0.0623783f, 1}}));

class FlatBorder : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(FlatBorder, OutermostPixelsOnly) {
    const auto [w, h] = GetParam();
    Img img = filled(w, h, kSentinel);
    rk::fill_flat_border(img.get());
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const bool edge = x == 0 || y == 0 || x == w - 1 || y == h - 1;
            EXPECT_EQ(get_px(img.get(), x, y), edge ? kFlat : kSentinel) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlatBorder,
                         ::testing::Values(std::pair{1u, 1u}, std::pair{1u, 4u}, std::pair{5u, 1u},
                                           std::pair{2u, 2u}, std::pair{2u, 5u},
                                           std::pair{6u, 5u}));

struct InvertCase {
    void (*op)(imgbuf*);
    bool red, green;
};
void PrintTo(const InvertCase& c, std::ostream* os) {
    *os << "red" << c.red << "_green" << c.green;
}
class Inversion : public ::testing::TestWithParam<InvertCase> {};

TEST_P(Inversion, NamedChannelsOnly) {
    const InvertCase c = GetParam();
    Img got = noise(7, 3, 5), before = noise(7, 3, 5);
    c.op(got.get());
    for (uint32_t y = 0; y < 3; ++y) {
        for (uint32_t x = 0; x < 7; ++x) {
            Px want = get_px(before.get(), x, y);
            if (c.red) want[0] = 1.0f - want[0];
            if (c.green) want[1] = 1.0f - want[1];
            EXPECT_EQ(get_px(got.get(), x, y), want);
        }
    }
    Img flat = filled(3, 3, kFlat);
    c.op(flat.get());
    EXPECT_EQ(get_px(flat.get(), 1, 1), kFlat);
}

INSTANTIATE_TEST_SUITE_P(Table, Inversion,
                         ::testing::Values(InvertCase{rk::invert_red, true, false},
                                           InvertCase{rk::invert_green, false, true},
                                           InvertCase{rk::invert_red_green, true, true}));

// The one step whose bits depend on the processor: across every blurred normal
// (alpha 1) of a 64-level grid, and one more pixel renormalised alone, each
// component lies within 2^-23 of the result computed with the exactly rounded
// 1/sqrt, as the README promises.
TEST(Renormalise, WithinTwoToTheMinus23OfTheExactRoot) {
    const auto level = [](uint32_t i, int c) { return float(i >> (6 * c) & 63) / 63.0f; };
    constexpr uint32_t count = (1u << 18) + 1;
    Img img = make_img(count, 1);
    for (uint32_t i = 0; i < count; ++i)
        set_px(img.get(), i, 0, {level(i, 0), level(i, 1), level(i, 2), 1});
    rk::renormalise_normals(img.get());
    for (uint32_t i = 0; i < count; ++i) {
        float n[4] = {1, 1, 1, 1};
        for (int c = 0; c < 3; ++c) n[c] = (level(i, c) - 0.5f) * 2.0f;
        const float s = (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
        const auto inv = static_cast<float>(1.0 / std::sqrt(double{s}));
        const Px got = get_px(img.get(), i, 0);
        for (int c = 0; c < 3; ++c)
            ASSERT_NEAR(got[c], ((inv * n[c]) * 0.5f) + 0.5f, 0x1p-23f) << i;
    }
}

}  // namespace
