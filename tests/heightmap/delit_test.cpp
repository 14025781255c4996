// The de-lit height mode: shape of its output (101: a prime above the sizes
// transformed as they are), repeatability, the wrap edge,
// a relief under a low sun recovered better than by brightness, and under an
// even light the luminance map itself.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>

#include "heightmap/delit.h"
#include "heightmap_helpers.h"

namespace {

constexpr uint32_t kDefaults = HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH;

Img delit(const imgbuf* src, uint32_t edge, uint32_t mode = HM_MODE_DELIT,
          uint32_t flags = kDefaults) {
    return Img(calc_heightmap_from_photo_ex(src, mode, flags, 0.5f, 0.0f, 1.0f, 5, 0.05f, 1.0f,
                                            1.0f, 1.0f, 3, 0, edge));
}

// Periodic bumps in eight directions (whole cycles across), so that the
// relief has no direction of its own.
float bump_height(float x, float y, uint32_t n) {
    constexpr float kWaves[8][2] = {{5, 0}, {0, 5},  {4, 3}, {4, -3},
                                    {3, 4}, {-3, 4}, {5, 2}, {2, -5}};
    const float a = 2.0f * std::numbers::pi_v<float> / static_cast<float>(n);
    float sum = 0.0f;
    for (const auto& k : kWaves) sum += 0.4f * std::cos(a * (k[0] * x + k[1] * y) + k[0]);
    return sum;
}

// Lambert shading of the bumps under a sun from the upper left, 35 degrees up,
// with the shadows they cast and a quarter of the sun's light from the sky,
// on a colour that varies slowly. (Without shadows or edges, a sun on smooth
// bumps gives the same kind of picture as an even light on others: the mode
// then keeps to the luminance map.)
Img sunlit_bumps(uint32_t n, float relief = 3.0f) {
    auto height = [n, relief](float x, float y) { return relief * bump_height(x, y, n); };
    return image_of(n, n, [&](uint32_t ux, uint32_t uy) {
        const auto x = static_cast<float>(ux), y = static_cast<float>(uy);
        const float hx = 0.5f * (height(x + 1, y) - height(x - 1, y));
        const float hy = 0.5f * (height(x, y + 1) - height(x, y - 1));
        const float el = 35.0f * std::numbers::pi_v<float> / 180.0f, c = std::sqrt(0.5f);
        const float lx = -c * std::cos(el), ly = -c * std::cos(el), lz = std::sin(el);
        float shade = std::max(0.0f, (lz - hx * lx - hy * ly) / std::hypot(hx, hy, 1.0f));
        for (float t = 1.0f; t < 40.0f && shade > 0.0f; t += 1.0f) {
            if (height(x - c * t, y - c * t) > height(x, y) + t * std::tan(el)) shade = 0.0f;
        }
        const float albedo = 0.6f + 0.2f * x / static_cast<float>(n);
        const float v = std::round(200.0f * albedo * (0.25f + shade)) / 255.0f;
        return Px{v, v, v, 1.0f};
    });
}

double correlation_with_bumps(const imgbuf* h) {
    const uint32_t n = imgbuf_w(h);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (uint32_t y = 4; y + 4 < n; ++y) {
        for (uint32_t x = 4; x + 4 < n; ++x) {
            const double a = get_px(h, x, y)[0],
                         b = bump_height(static_cast<float>(x), static_cast<float>(y), n);
            sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
        }
    }
    const double m = (n - 8.0) * (n - 8.0);
    return (sab - sa * sb / m) / std::sqrt((saa - sa * sa / m) * (sbb - sb * sb / m));
}

class DelitShape : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t, uint32_t>> {};

TEST_P(DelitShape, GreyMapInRangeAndRepeatable) {
    const auto [w, h, edge] = GetParam();
    const Img photo = image_of(w, h, [](uint32_t x, uint32_t y) {
        const float v =
            0.5f + 0.4f * std::sin(0.7f * static_cast<float>(x) + 0.3f * static_cast<float>(y * y));
        return Px{v, 0.8f * v, 0.2f, 1.0f};
    });
    const Img a = delit(photo.get(), edge), b = delit(photo.get(), edge);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(imgbuf_w(a.get()) == w && imgbuf_h(a.get()) == h);
    EXPECT_TRUE(same_image(a.get(), b.get()));
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const Px p = get_px(a.get(), x, y);
            ASSERT_TRUE(p[0] >= 0.0f && p[0] <= 1.0f) << x << "," << y << ": " << p[0];
            ASSERT_TRUE(same_bits(p[1], p[0]) && same_bits(p[2], p[0]) && p[3] == 1.0f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DelitShape,
                         ::testing::Combine(::testing::Values(1u, 7u, 64u, 101u),
                                            ::testing::Values(1u, 5u, 48u),
                                            ::testing::Values(RK_EDGE_CLAMP, RK_EDGE_WRAP)));

// Unknown modes or edges and a null source give null; the de-lit mode only
// through the _ex export.
TEST(Delit, UnknownModeOrEdgeIsNull) {
    const Img photo = filled(4, 4, Px{0.5f, 0.5f, 0.5f, 1.0f});
    EXPECT_FALSE(delit(photo.get(), 2));
    EXPECT_FALSE(delit(photo.get(), RK_EDGE_CLAMP, 9));
    EXPECT_FALSE(delit(nullptr, RK_EDGE_CLAMP));
    EXPECT_FALSE(heightmap(nullptr, {}));
    EXPECT_FALSE(heightmap(photo.get(), {.mode = 8}));
    EXPECT_FALSE(heightmap(photo.get(), {.mode = UINT32_MAX}));
}

// Under a sun from one side, brightness follows the slopes, not the heights:
// the de-lit heights must follow the true relief, and closer than brightness.
// With the wrap edge, the photograph moved by whole pixels (it is periodic)
// gives the same light and the same heights, moved: also for a lower relief
// (2.2), whose light is judged partly directional and whose heights are mixed
// with the luminance map.
TEST(Delit, RecoversSunlitReliefAndWrapFollowsAShift) {
    constexpr uint32_t n = 96, dx = 17, dy = 40;  // 96: transformed as it is
    const Img photo = sunlit_bumps(n);
    const Img d = delit(photo.get(), RK_EDGE_CLAMP), lum = delit(photo.get(), RK_EDGE_CLAMP, 7);
    ASSERT_TRUE(d && lum);
    const double cd = correlation_with_bumps(d.get()), cl = correlation_with_bumps(lum.get());
    EXPECT_GT(cd, 0.5);
    EXPECT_GT(cd, cl + 0.3);
    for (const float relief : {3.0f, 2.2f}) {
        const Img lit = sunlit_bumps(n, relief);
        const Img moved = image_of(n, n, [&](uint32_t x, uint32_t y) {
            return get_px(lit.get(), (x + dx) % n, (y + dy) % n);
        });
        rk::DelitLight la, lb;
        ASSERT_TRUE(rk::delit_light(lit.get(), {true, false, 3, NAN}, &la) &&
                    rk::delit_light(moved.get(), {true, false, 3, NAN}, &lb));
        EXPECT_NEAR(la.directional, lb.directional, 1e-5f) << relief;
        const Img a = delit(lit.get(), RK_EDGE_WRAP), b = delit(moved.get(), RK_EDGE_WRAP);
        ASSERT_TRUE(a && b);
        for (uint32_t y = 0; y < n; ++y) {
            for (uint32_t x = 0; x < n; ++x) {
                ASSERT_NEAR(get_px(b.get(), x, y)[0],
                            get_px(a.get(), (x + dx) % n, (y + dy) % n)[0], 1e-5f)
                    << relief;
            }
        }
    }
}

// The smoothing within the solve follows the blurs' rule for sizes: an even
// size is the odd one below it.
TEST(Delit, EvenSmoothingSizeIsTheOddOneBelow) {
    const Img photo = sunlit_bumps(96);
    const auto smoothed = [&](uint32_t size) {
        const Img d(calc_heightmap_from_photo_ex(photo.get(), HM_MODE_DELIT, kDefaults, 0.5f, 0.0f,
                                                 1.0f, 5, 0.05f, 1.0f, 1.0f, 1.0f, size, 0,
                                                 RK_EDGE_CLAMP));
        EXPECT_TRUE(d);
        return d ? fingerprint(d.get()) : 0;
    };
    for (const uint32_t odd : {3u, 7u, 15u}) {
        EXPECT_EQ(smoothed(odd + 1), smoothed(odd)) << odd + 1;
        EXPECT_NE(smoothed(odd + 2), smoothed(odd)) << odd + 2;
    }
}

// Joints in two directions (a pattern with directions of its own) under an
// even light: darker in the joints, the same on both walls. The steps in
// brightness are two-sided, so the mode must take the light as even and give
// the luminance map bit for bit, on both edges.
Img joints_under_an_even_sky() {
    return image_of(120, 90, [](uint32_t x, uint32_t y) {
        const float jx = std::min(x % 20, 20 - x % 20) / 3.0f,
                    jy = std::min(y % 15, 15 - y % 15) / 3.0f;
        const float sky = std::min({1.0f, jx, jy});
        const float v =
            std::round(255.0f * (0.3f + 0.4f * sky + 0.05f * std::sin(0.9f * x + 0.4f * y))) /
            255.0f;
        return Px{v, 0.9f * v, 0.8f * v, 1.0f};
    });
}

// A light three quarters directional weighs the directional reading three
// times the luminance map (each first scaled to the same gradient).
TEST(Delit, BlendWeighsEachReadingByItsShare) {
    const auto ramp = [](bool across) {
        return image_of(8, 8, [=](uint32_t x, uint32_t y) { const float v = (across ? x : y) / 7.0f; return Px{v, v, v, 1}; });
    };
    const Img a = ramp(true), e = ramp(false);
    rk::blend_even_heights(a.get(), e.get(), 0.75f, false);
    EXPECT_NEAR(get_px(a.get(), 7, 0)[0] / get_px(a.get(), 0, 7)[0], 3.0f, 1e-4f);
}

TEST(Delit, EvenLightOnJointsGivesTheLuminanceMap) {
    const Img photo = joints_under_an_even_sky();
    for (uint32_t edge : {RK_EDGE_CLAMP, RK_EDGE_WRAP}) {
        const Img d = delit(photo.get(), edge), lum = delit(photo.get(), edge, 7);
        ASSERT_TRUE(d && lum);
        EXPECT_TRUE(same_image(d.get(), lum.get())) << edge;
    }
}

// The invert flags act on the de-lit mode only all three together (the relief
// upside down), under an even light as under a directional one: one or two
// of them leave the map as it is.
TEST(Delit, InvertFlagsActOnlyAllTogetherUnderAnEvenLight) {
    constexpr uint32_t kAll = HM_INVERT_RED | HM_INVERT_GREEN | HM_INVERT_BLUE;
    const Img photo = joints_under_an_even_sky();
    for (uint32_t edge : {RK_EDGE_CLAMP, RK_EDGE_WRAP}) {
        const Img plain = delit(photo.get(), edge);
        for (uint32_t some : {HM_INVERT_RED, HM_INVERT_GREEN | HM_INVERT_BLUE}) {
            const Img d = delit(photo.get(), edge, HM_MODE_DELIT, kDefaults | some);
            EXPECT_TRUE(same_image(d.get(), plain.get())) << edge << " " << some;
        }
        const Img upside_down = delit(photo.get(), edge, HM_MODE_DELIT, kDefaults | kAll);
        const Img lum = delit(photo.get(), edge, 7, kDefaults | kAll);
        EXPECT_TRUE(same_image(upside_down.get(), lum.get())) << edge;
    }
}

// rk_estimate_light reports the light the de-lit mode takes for the same
// params: the smoothing shapes the heights whose darker parts decide which
// end of the axis is lit, so the estimate has to be read with it too. Seed
// 16, three rows, is lit along x: an azimuth of 0, never -0.
TEST(Delit, EstimateIsTheLightTheHeightsTake) {
    for (uint32_t seed = 0; seed < 17; ++seed) {
        const bool thin = seed == 16;
        const uint32_t w = thin ? 97 : 24 + seed % 40, h = thin ? 3 : 20 + (seed * 7) % 50;
        const float fx = 0.05f * static_cast<float>(seed), fy = 0.03f * static_cast<float>(seed);
        const Img photo = image_of(w, h, [&](uint32_t x, uint32_t y) {
            const uint32_t k =
                ((x * 73856093u) ^ (y * 19349663u) ^ (seed * 83492791u)) * 2654435761u;
            const float v =
                0.5f + 0.2f * std::sin(fx * static_cast<float>(x) + fy * static_cast<float>(y)) +
                0.25f * static_cast<float>((k >> 8) & 1023u) / 1023.0f;
            return Px{v, v, v, 1.0f};
        });
        for (const uint32_t edge : {RK_EDGE_CLAMP, RK_EDGE_WRAP}) {
            for (const uint32_t smooth : {0u, 3u, 15u, 99u}) {
                rk_height_params hp;
                rk_height_params_init(&hp, sizeof hp);
                hp.edge_mode = edge, hp.smooth_size = smooth;
                rk_light reported{sizeof(rk_light), 0.0f, 0.0f, 0.0f};
                ASSERT_EQ(rk_estimate_light(photo.get(), &hp, &reported), RK_OK);
                rk::DelitLight taken;
                const Img heights = make_img(w, h);
                ASSERT_TRUE(rk::delit_heights(heights.get(), photo.get(),
                                              {edge == RK_EDGE_WRAP, false, smooth, NAN}, &taken));
                EXPECT_TRUE(same_bits(reported.azimuth, taken.azimuth) &&
                            reported.directional == taken.directional &&
                            !std::signbit(reported.azimuth))
                    << "seed " << seed << " edge " << edge << " smooth " << smooth << ": "
                    << reported.azimuth << " reported, " << taken.azimuth << " taken";
            }
        }
    }
}

}  // namespace
