// The de-lit colour: a relief's shading under a sun taken out with the colour
// kept, cavities under an even sky lifted, and a light falling off across the
// picture taken out.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "heightmap/albedo.h"
#include "heightmap/cavities.h"
#include "image_helpers.h"

namespace {

// Round dents of depth 4 on a period of 32 px, and a colour that changes
// slowly (sharp edges of the colour's own would be read as shading along the
// light: see albedo.h).
float dent(float x, float y) {
    auto d = [](float v) { return std::fmod(v + 320.0f, 32.0f) - 16.0f; };
    const float t = 1.0f - (d(x) * d(x) + d(y) * d(y)) / 100.0f;
    return t > 0.0f ? -4.0f * t * t : 0.0f;
}
float patch(uint32_t x, uint32_t y) {
    const float a = 2.0f * std::numbers::pi_v<float> / 96.0f, fx = x, fy = y;
    return 0.6f + 0.2f * std::sin(a * fx) * std::cos(2.0f * a * fy);
}

// The same bits in every pixel, row by row: a wrapped image's rows may have
// ends that are not pixels.
bool same_pixels(const imgbuf* a, const imgbuf* b) {
    const uint32_t w = rk_image_width(a), h = rk_image_height(a);
    if (w != rk_image_width(b) || h != rk_image_height(b)) return false;
    for (uint32_t y = 0; y < h; ++y) {
        const auto* ra = reinterpret_cast<const char*>(rk_image_pixels(a)) + y * rk_image_stride(a);
        const auto* rb = reinterpret_cast<const char*>(rk_image_pixels(b)) + y * rk_image_stride(b);
        if (std::memcmp(ra, rb, 16 * size_t{w}) != 0) return false;
    }
    return true;
}

// Root-mean-square error of red times the best scale against the patches,
// over their mean.
double error_to_patches(const imgbuf* img, uint32_t n) {
    double aa = 0, at = 0, tt = 0, ts = 0;
    for (uint32_t i = 0; i < n * n; ++i) {
        const double a = get_px(img, i % n, i / n)[0], t = patch(i % n, i / n);
        aa += a * a, at += a * t, tt += t * t, ts += t;
    }
    return std::sqrt((tt - at * at / aa) / (n * n)) / (ts / (n * n));
}

// Lambert under a sun from the upper left (given), 35 degrees up, with a
// quarter of it as fill: the de-lit colour is within 0.7 of the photo's error,
// and every pixel keeps the photograph's colour (green / red, blue / red).
Img sunlit_photo(uint32_t n) {
    const float el = 35.0f * std::numbers::pi_v<float> / 180.0f, c = std::sqrt(0.5f) * std::cos(el);
    return image_of(n, n, [&](uint32_t x, uint32_t y) {
        const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
        const float p = 0.5f * (dent(fx + 1, fy) - dent(fx - 1, fy)),
                    q = 0.5f * (dent(fx, fy + 1) - dent(fx, fy - 1));
        const float lit =
            std::max(0.0f, (std::sin(el) + c * p + c * q) / std::sqrt(1 + p * p + q * q));
        const float v = patch(x, y) * (0.25f + lit);
        return Px{v, 0.8f * v, 0.5f * v, 1.0f};
    });
}
TEST(Albedo, SunlitReliefLosesItsShadingAndKeepsColour) {
    constexpr uint32_t n = 96;
    const Img photo = sunlit_photo(n);
    const rk::ImgbufPtr a = rk::albedo_map(photo.get(), {.wrap = true, .azimuth = 135.0f});
    ASSERT_TRUE(a);
    EXPECT_LT(error_to_patches(a.get(), n), 0.7 * error_to_patches(photo.get(), n));
    for (uint32_t y = 0; y < n; ++y) {
        for (uint32_t x = 0; x < n; ++x) {
            const Px p = get_px(a.get(), x, y);
            ASSERT_TRUE(p[0] < 1.0f && std::abs(p[1] / p[0] - 0.8f) < 1e-4f &&
                        std::abs(p[2] / p[0] - 0.5f) < 1e-4f);
        }
    }
}

// The shading alone does not seek the light's end (it is the same from
// either); the cavities' factor is the same over its input or in a scratch of
// the caller's.
TEST(Albedo, SameBitsWhateverIsAskedOrLent) {
    const Img photo = sunlit_photo(90);
    rk::DelitLight light;
    const rk::ImgbufPtr asked = rk::albedo_map(photo.get(), {}, &light);
    const rk::ImgbufPtr not_asked = rk::albedo_map(photo.get(), {});
    EXPECT_GT(light.directional, 0.0f);
    EXPECT_TRUE(same_image(asked.get(), not_asked.get()));
    std::vector<float> lum(90 * 90), own(lum.size()), lent(2 * lum.size());
    for (size_t i = 0; i < lum.size(); ++i) lum[i] = get_px(photo.get(), i % 90, i / 90)[0] + 0.01f;
    ASSERT_TRUE(rk::cavity_shading(lum.data(), 90, 90, false, 0, own.data()));
    ASSERT_TRUE(rk::cavity_shading(lum.data(), 90, 90, false, 0, lum.data(), lent.data()));
    EXPECT_EQ(lum, own);
    for (const float f : own) ASSERT_TRUE(f > 0.0f && f <= 1.0f);  // a cavity only darkens
}

// Under an even sky only the cavities darken: joints 4 px wide every 32 px
// that see half the sky (their edges a quarter less) come out lifted, while
// the slowly changing colour stays.
Img even_sky_photo(uint32_t n) {
    return image_of(n, n, [](uint32_t x, uint32_t y) {
        auto open = [](uint32_t i) { return i % 32 < 2 || i % 32 > 5 ? 1.0f : 0.5f; };
        auto edge = [](uint32_t i) { return i % 32 == 1 || i % 32 == 6 ? 0.75f : 1.0f; };
        const float sky = std::min(open(x), open(y)) * edge(x) * edge(y);
        const float v = patch(x, y) * sky;
        return Px{v, v, v, 1.0f};
    });
}
TEST(Albedo, CavitiesUnderAnEvenSkyAreLifted) {
    constexpr uint32_t n = 128;
    const Img photo = even_sky_photo(n);
    const rk::ImgbufPtr a = rk::albedo_map(photo.get(), {.wrap = true});
    ASSERT_TRUE(a);
    EXPECT_LT(error_to_patches(a.get(), n), 0.5 * error_to_patches(photo.get(), n));
}

// An even colour under a light falling off exponentially to the right and
// down comes out with only kKeptTilt of the fall left (along the same way);
// all of it left in when asked. A strip's light falls along its length.
TEST(Albedo, LightFallingOffAcrossIsTakenOut) {
    for (const auto& [w, h] : {std::pair{80u, 50u}, {1u, 50u}, {80u, 1u}}) {
        const Img photo = image_of(w, h, [](uint32_t x, uint32_t y) {
            const float v =
                0.7f * std::exp(-0.008f * static_cast<float>(x) - 0.005f * static_cast<float>(y));
            return Px{v, v, v, 0.5f};
        });
        // The plane's half-ranges across and down, and what is left of them.
        const double cu = -0.008 * (w - 1) / 2, cv = -0.005 * (h - 1) / 2;
        const double kept = rk::kKeptTilt / std::hypot(cu, cv);
        for (bool flatten : {true, false}) {
            const rk::ImgbufPtr a = rk::albedo_map(photo.get(), {.flatten_light = flatten});
            ASSERT_TRUE(a);
            EXPECT_EQ(get_px(a.get(), w / 2, h / 2)[3], 0.5f);
            EXPECT_NEAR(get_px(a.get(), w - 1, h - 1)[0] / get_px(a.get(), 0, 0)[0],
                        std::exp(2 * (cu + cv) * (flatten ? kept : 1.0)), 1e-3)
                << w << " x " << h;
        }
    }
}

// A photograph that tiles keeps no seam: the plane of a colour wave across
// it, which a clamped reading takes out, stays.
TEST(Albedo, TiledPhotographKeepsNoSeam) {
    const Img photo = image_of(64, 48, [](uint32_t x, uint32_t) {
        const float v = 0.5f * std::exp(0.2f * std::sin(std::numbers::pi_v<float> * x / 32));
        return Px{v, v, v, 1.0f};
    });
    const rk::ImgbufPtr a = rk::albedo_map(photo.get(), {.wrap = true});
    ASSERT_TRUE(a);
    auto step = [&](uint32_t x0, uint32_t x1) {
        return std::abs(get_px(a.get(), x1, 20)[0] - get_px(a.get(), x0, 20)[0]);
    };
    float inside = 0.0f;
    for (uint32_t x = 1; x < 64; ++x) inside = std::max(inside, step(x - 1, x));
    EXPECT_LE(step(63, 0), 1.5f * inside);
}

// With the light and the scale given, the tiling map is the centre of the
// tiling map of the photograph tiled 3 x 3 (sides multiples of the cavities'
// tile, (scale + 1) / 2; an odd height); a scale past 4096 is refused.
TEST(Albedo, GivenScaleMakesTheTiledMapsCentre) {
    const Img sun = sunlit_photo(96);
    for (const auto& [w, h, scale] : {std::tuple{96u, 96u, 12u}, {70u, 63u, 14u}}) {
        const Img photo = image_of(w, h, [&](uint32_t x, uint32_t y) { return get_px(sun.get(), x, y); });
        const Img tiled = image_of(3 * w, 3 * h, [&](uint32_t x, uint32_t y) { return get_px(photo.get(), x % w, y % h); });
        const rk::AlbedoSettings s{.wrap = true, .azimuth = 135.0f, .scale = scale};
        const rk::ImgbufPtr one = rk::albedo_map(photo.get(), s), all = rk::albedo_map(tiled.get(), s);
        ASSERT_TRUE(one && all);
        for (uint32_t i = 0; i < 3 * w * h; ++i)
            ASSERT_NEAR(get_px(one.get(), i / 3 % w, i / 3 / w)[i % 3],
                        get_px(all.get(), w + i / 3 % w, h + i / 3 / w)[i % 3], 2e-4f) << w;
    }
    rk_albedo_params wide;
    rk_albedo_params_init(&wide, sizeof wide);
    wide.scale = 4097;
    imgbuf* out = nullptr;
    EXPECT_EQ(rk_albedo_map(sun.get(), &wide, &out), RK_ERROR_ARGUMENT);
}

// Heights and colour from one call are the two calls' bits, whether the
// light's reading is shared (the de-lit mode read alike: clamped or tiled,
// estimated, given, judged even, the heights inverted and smoothed) or not
// (another mode, edges or light that differ).
TEST(Albedo, HeightsAndColourInOneCallAreTheTwoCalls) {
    struct Case {
        const char* name;
        bool even_sky;
        uint32_t mode, edge, invert;
        float height_light, colour_light;
        uint32_t colour_edge;
        uint32_t colour_scale = 0;
    };
    constexpr uint32_t kClamp = RK_EDGE_CLAMP, kWrap = RK_EDGE_WRAP, kDelit = RK_HEIGHT_DELIT;
    const Case cases[] = {
        {"estimated", false, kDelit, kClamp, 0, NAN, NAN, kClamp},
        {"tiled", false, kDelit, kWrap, 0, NAN, NAN, kWrap},
        {"given, inverted", false, kDelit, kClamp, 1, 135.0f, 135.0f, kClamp},
        {"even sky", true, kDelit, kWrap, 0, NAN, NAN, kWrap},
        {"luminance mode", false, RK_HEIGHT_LUMINANCE, kClamp, 0, NAN, NAN, kClamp},
        {"edges differ", false, kDelit, kClamp, 0, NAN, NAN, kWrap},
        {"lights differ", false, kDelit, kClamp, 0, 135.0f, 45.0f, kClamp},
        {"scales differ", false, kDelit, kClamp, 0, 135.0f, 135.0f, kClamp, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Img photo = c.even_sky ? even_sky_photo(96) : sunlit_photo(90);
        rk_height_params hp;
        rk_height_params_init(&hp, sizeof hp);
        hp.mode = c.mode, hp.edge_mode = c.edge, hp.light_azimuth = c.height_light;
        hp.invert_red = hp.invert_green = hp.invert_blue = c.invert;
        rk_albedo_params ap;
        rk_albedo_params_init(&ap, sizeof ap);
        ap.edge_mode = c.colour_edge, ap.light_azimuth = c.colour_light, ap.scale = c.colour_scale;
        imgbuf *heights = nullptr, *colour = nullptr, *alone = nullptr, *alone_colour = nullptr;
        ASSERT_EQ(rk_height_and_albedo_maps(photo.get(), &hp, &ap, &heights, &colour), RK_OK);
        ASSERT_EQ(rk_height_map(photo.get(), &hp, &alone), RK_OK);
        ASSERT_EQ(rk_albedo_map(photo.get(), &ap, &alone_colour), RK_OK);
        if (c.even_sky) {  // the case is the one it claims
            rk_light light{sizeof(rk_light), 0.0f, 0.0f, 1.0f};
            ASSERT_EQ(rk_estimate_light(photo.get(), &hp, &light), RK_OK);
            EXPECT_EQ(light.directional, 0.0f);
        }
        const Img h(heights), a(colour), h1(alone), a1(alone_colour);
        EXPECT_TRUE(same_image(h.get(), h1.get()));
        EXPECT_TRUE(same_image(a.get(), a1.get()));
        // Written into the photograph itself, into a new image and into rows
        // of a wider block: the same bits.
        const uint32_t n = rk_image_width(photo.get());
        std::vector<float> wide(size_t{n} * (4 * n + 8));
        imgbuf* padded = nullptr;
        ASSERT_EQ(rk_image_wrap(wide.data(), n, n, sizeof(float) * (4 * n + 8), &padded), RK_OK);
        const Img over = image_of(n, n, [&](uint32_t x, uint32_t y) { return get_px(photo.get(), x, y); });
        const Img apart = make_img(n, n), in_rows(padded);
        for (imgbuf* target : {over.get(), apart.get(), in_rows.get()}) {
            imgbuf* into_heights = nullptr;
            const imgbuf* source = target == over.get() ? over.get() : photo.get();
            ASSERT_EQ(rk_height_and_albedo_maps_into(source, &hp, &ap, &into_heights, target), RK_OK);
            const Img hi(into_heights);
            EXPECT_TRUE(same_image(hi.get(), h1.get()));
            EXPECT_TRUE(same_pixels(target, a1.get()));
        }
    }
    // Nothing is handed out when an argument is refused.
    const Img photo = sunlit_photo(16);
    imgbuf* untouched = nullptr;
    rk_albedo_params bad;
    rk_albedo_params_init(&bad, sizeof bad);
    bad.flatten_light = 2;
    EXPECT_EQ(rk_height_and_albedo_maps(photo.get(), nullptr, &bad, &untouched, &untouched),
              RK_ERROR_ARGUMENT);
    EXPECT_EQ(rk_height_and_albedo_maps(photo.get(), nullptr, nullptr, nullptr, &untouched),
              RK_ERROR_ARGUMENT);
    EXPECT_EQ(untouched, nullptr);
    // Nor is anything written into an albedo of another size or one that
    // shares some of the photograph's pixels.
    // Two 16 x 16 images one pixel apart in rows of 17 pixels.
    std::vector<float> block(17 * 16 * 4);
    imgbuf *left = nullptr, *right = nullptr;
    ASSERT_EQ(rk_image_wrap(block.data(), 16, 16, 17 * 16, &left), RK_OK);
    ASSERT_EQ(rk_image_wrap(block.data() + 4, 16, 16, 17 * 16, &right), RK_OK);
    const Img copy(left), overlapping(right), smaller = make_img(15, 16);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 16; ++x) set_px(copy.get(), x, y, get_px(photo.get(), x, y));
    for (imgbuf* target : {overlapping.get(), smaller.get()}) {
        EXPECT_EQ(rk_height_and_albedo_maps_into(copy.get(), nullptr, nullptr, &untouched, target),
                  RK_ERROR_ARGUMENT);
        // Named as the caller knows them, not as a generator's dst and src.
        EXPECT_NE(std::string(rk_last_error()).find(": albedo "), std::string::npos) << rk_last_error();
    }
    EXPECT_EQ(rk_height_and_albedo_maps_into(copy.get(), nullptr, &bad, &untouched, copy.get()),
              RK_ERROR_ARGUMENT);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_TRUE(same_pixels(copy.get(), photo.get()));
}

// A long strip closes within its own width: no sides of 2 x 1875 columns a
// row (900 MB for 60000 x 1 pixels). In a child whose address space is capped
// at what is in use plus 256 MiB.
TEST(CavitiesDeathTest, AStripNeedsNoSquareOfItsLength) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "address space caps break the sanitizer's shadow memory";
    std::vector<float> lum(60000), factor(lum.size());
    for (size_t i = 0; i < lum.size(); ++i) lum[i] = 0.5f + 0.25f * std::sin(0.01f * i);
    rlim_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlimit cap{pages * 4096 + (rlim_t{256} << 20), pages * 4096 + (rlim_t{256} << 20)};
    const auto close_strip = [&] {
        return setrlimit(RLIMIT_AS, &cap) == 0 &&
               rk::cavity_shading(lum.data(), 1, 60000, false, 0, factor.data(), nullptr);
    };
    EXPECT_EXIT(std::_Exit(close_strip() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
