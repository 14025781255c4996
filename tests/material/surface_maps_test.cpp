// Curvature and roughness: the two maps built from Gaussian blurs, and the
// blur of grey planes they share.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>

#include "filter/convolve.h"
#include "filter/kernel_cache.h"
#include "image_helpers.h"
#include "material/curvature.h"
#include "material/grey_blur.h"
#include "material/roughness.h"

using namespace rk;

namespace {

Img grey(uint32_t w, uint32_t h, const std::function<float(int, int)>& f) {
    return image_of(w, h, [&](uint32_t x, uint32_t y) {
        const float v = f(int(x), int(y));
        return Px{v, v, v, 1.0f};
    });
}

// The wrapped map equals the centre of the clamped map of the image tiled
// (2n+1) x (2n+1), n large enough that no clamped read reaches the centre, and
// every thread count gives the same bits.
void check_wrap_and_threads(const imgbuf* img, uint32_t reach,
                            const std::function<ImgbufPtr(const imgbuf*, EdgeMode)>& make) {
    const uint32_t w = imgbuf_w(img), h = imgbuf_h(img);
    const uint32_t n = reach / std::min(w, h) + 1;
    Img big = image_of(w * (2 * n + 1), h * (2 * n + 1),
                       [&](uint32_t x, uint32_t y) { return get_px(img, x % w, y % h); });
    ImgbufPtr wrapped = make(img, EDGE_WRAP), clamped = make(big.get(), EDGE_CLAMP);
    ASSERT_TRUE(wrapped && clamped);
    for (uint32_t y = 0; y < h; ++y)
        ASSERT_EQ(0, std::memcmp(row_unchecked(wrapped.get(), y),
                                 row_unchecked(clamped.get(), y + n * h) + 4 * n * w, 16 * w))
            << w << "x" << h << " row " << y;
    for (EdgeMode e : {EDGE_CLAMP, EDGE_WRAP}) {
        ImgbufPtr one = on_threads(1, [&] { return make(img, e); });
        ImgbufPtr three = on_threads(3, [&] { return make(img, e); });
        EXPECT_TRUE(same_image(one.get(), three.get())) << "edge " << e;
    }
}

float at(const ImgbufPtr& img, uint32_t x, uint32_t y) {
    return get_px(img.get(), x, y)[0];
}

}  // namespace

// Planes of any slope, heights far from 0..1 included, give exactly 0.5 up to
// the clamped border, images narrower than the blurs' reach included; a level
// image too, under either edge mode.
TEST(Curvature, PlanesAreExactlyHalf) {
    const float planes[][3] = {{0.1f, 0.013f, 0.007f}, {0.9f, -0.02f, 0.011f}, {1000, 3.3f, 1.7f}};
    for (uint32_t scale : {3u, 9u, 31u, 99u}) {
        for (const auto& p : planes) {
            for (auto [w, h] : {std::pair{140u, 130u}, {7u, 2u}, {1u, 5u}}) {
                Img img = grey(w, h, [&](int x, int y) { return p[0] + p[1] * x + p[2] * y; });
                ImgbufPtr cm = curvature_map(img.get(), {scale, 5.0f, EDGE_CLAMP});
                ASSERT_TRUE(cm);
                for (uint32_t y = 0; y < h; ++y)
                    for (uint32_t x = 0; x < w; ++x)
                        ASSERT_EQ(at(cm, x, y), 0.5f) << scale << " " << p[0] << " " << w << "x"
                                                      << h << " " << x << "," << y;
            }
        }
        Img level = grey(20, 30, [](int, int) { return 0.37f; });
        for (EdgeMode e : {EDGE_CLAMP, EDGE_WRAP})
            EXPECT_TRUE(same_image(curvature_map(level.get(), {scale, 1.0f, e}).get(),
                                   grey(20, 30, [](int, int) { return 0.5f; }).get()));
    }
}

// Bumps and ridges above 0.5, pits and joints below, more so with strength;
// strength 0 flattens everything to 0.5.
TEST(Curvature, SignFollowsTheShape) {
    auto bump = [](int x, int y) {
        return 0.3f + 0.4f * std::exp(-((x - 30) * (x - 30) + (y - 25) * (y - 25)) / 30.0f);
    };
    auto ridge = [](int x, int) { return 0.7f - 0.02f * std::fabs(x - 30); };
    for (const auto& [f, sign] : {std::pair<std::function<float(int, int)>, int>{bump, 1},
                                  {ridge, 1},
                                  {[&](int x, int y) { return 1 - bump(x, y); }, -1},
                                  {[&](int x, int y) { return 1 - ridge(x, y); }, -1}}) {
        Img img = grey(61, 51, f);
        ImgbufPtr weak = curvature_map(img.get(), {9, 1.0f, EDGE_CLAMP});
        ImgbufPtr strong = curvature_map(img.get(), {9, 4.0f, EDGE_CLAMP});
        EXPECT_GT(sign * (at(weak, 30, 25) - 0.5f), 0.05f);
        EXPECT_GT(sign * (at(strong, 30, 25) - at(weak, 30, 25)), 0.05f);
        EXPECT_TRUE(same_image(curvature_map(img.get(), {9, 0.0f, EDGE_CLAMP}).get(),
                               grey(61, 51, [](int, int) { return 0.5f; }).get()));
    }
}

TEST(Curvature, WrapThreadsAndSettings) {
    for (auto [w, h, scale] :
         {std::tuple{23u, 17u, 9u}, {13u, 15u, 31u}, {5u, 3u, 9u}, {1u, 1u, 3u}}) {
        Img img = noise(w, h, w * h);
        check_wrap_and_threads(img.get(), scale, [&](const imgbuf* i, EdgeMode e) {
            return curvature_map(i, {scale, 2.0f, e});
        });
    }
    Img img = noise(4, 4, 1);
    const CurvatureSettings bad[] = {{2, 1}, {255, 1}, {9, NAN}, {9, 101}, {9, 1, EdgeMode(2)}};
    for (const CurvatureSettings& s : bad) {
        EXPECT_NE(curvature_settings_error(s), nullptr);
        EXPECT_FALSE(curvature_map(img.get(), s));
    }
    EXPECT_EQ(curvature_settings_error({254, 1}), nullptr);  // lowered to 253
    EXPECT_FALSE(curvature_map(nullptr, {}));
}

// A level photograph of luminance L has no detail: (1 - L) / 2 through the
// contrast and bias. Grain makes a patch rougher, brightness smoother; the
// result stays in 0..1, and contrast 0 leaves 0.5 + bias.
TEST(Roughness, DetailAndBrightness) {
    for (auto [l, contrast, bias] :
         {std::tuple{0.2f, 1.0f, 0.0f}, {0.8f, 3.0f, 0.1f}, {0.5f, 0.5f, -0.3f}}) {
        ImgbufPtr r = roughness_map(filled(9, 7, {l, l, l, 1}).get(), {contrast, bias, EDGE_CLAMP});
        const float want = std::clamp(((1 - l) / 2 - 0.5f) * contrast + 0.5f + bias, 0.0f, 1.0f);
        for (uint32_t i = 0; i < 9 * 7; ++i) EXPECT_NEAR(r->pixels[4 * i], want, 1e-6f);
    }
    // Left half smooth, right half grainy, both of mean 0.5; the bottom half brighter.
    Img photo = image_of(80, 80, [](uint32_t x, uint32_t y) {
        const float g = x >= 40 && (x + y) % 2 ? 0.15f : x >= 40 ? -0.15f : 0.0f;
        const float v = (y >= 40 ? 0.7f : 0.3f) + g;
        return Px{v, v * 0.9f, v * 1.1f, 1};
    });
    ImgbufPtr r = roughness_map(photo.get(), {});
    EXPECT_GT(at(r, 60, 20), at(r, 20, 20) + 0.2f);
    EXPECT_GT(at(r, 20, 20), at(r, 20, 60) + 0.1f);
    ImgbufPtr flat = roughness_map(photo.get(), {0, 0.25f}),
              steep = roughness_map(photo.get(), {16, 0.25f});
    for (uint32_t i = 0; i < 80 * 80; ++i) {
        EXPECT_EQ(flat->pixels[4 * i], 0.75f);
        EXPECT_TRUE(steep->pixels[4 * i] >= 0 && steep->pixels[4 * i] <= 1);
    }
}

TEST(Roughness, WrapThreadsAndSettings) {
    for (auto [w, h] : {std::pair{23u, 17u}, {2u, 7u}, {1u, 1u}}) {
        Img img = noise(w, h, w + 7 * h);
        check_wrap_and_threads(img.get(), 4, [](const imgbuf* i, EdgeMode e) {
            return roughness_map(i, {2.0f, -0.1f, e});
        });
    }
    Img img = noise(4, 4, 1);
    const RoughnessSettings bad[] = {{-1, 0}, {NAN, 0}, {17, 0}, {1, NAN}, {1, 0, EdgeMode(7)}};
    for (const RoughnessSettings& s : bad) {
        EXPECT_NE(roughness_settings_error(s), nullptr);
        EXPECT_FALSE(roughness_map(img.get(), s));
    }
    EXPECT_EQ(roughness_settings_error({}), nullptr);
    EXPECT_FALSE(roughness_map(nullptr, {}));
}

// The plane blur gives, bit for bit, what the image blur gives each channel
// of a grey image, on every instruction-set build: on sizes around the
// vectors' widths (and a single pixel), short and long kernels, both edge
// modes.
TEST(GreyPlaneBlur, EqualsTheImageBlurOfEachChannel) {
    const uint32_t sizes[][2] = {{1, 1}, {2, 5}, {7, 3}, {31, 17}, {64, 40}, {5, 70}};
    for (const auto& s : sizes) {
        const uint32_t w = s[0], h = s[1];
        for (uint32_t taps : {3u, 9u, 31u}) {
            for (EdgeMode edge : {EDGE_CLAMP, EDGE_WRAP}) {
                Img img = grey(w, h, [](int x, int y) {
                    return std::sin(0.7f * x + 0.3f * y * y) + 0.01f * x * y;
                });
                GreyPlane plane(w, h);
                ASSERT_TRUE(plane);
                for (uint32_t y = 0; y < h; ++y)
                    for (uint32_t x = 0; x < w; ++x) plane.row(y)[x] = get_px(img.get(), x, y)[0];
                const BlurKernel* k = kernel_cache_get(KERNEL_GAUSSIAN, taps);
                ASSERT_TRUE(k && blur_whole(img.get(), k->weights4, k->size, k->norm, edge));
                for (ConvolvePath path : {CONVOLVE_PLAIN, CONVOLVE_AVX2}) {
                    GreyPlane blurred(w, h);
                    ASSERT_TRUE(blurred);
                    std::copy(plane.data(), plane.data() + size_t{w} * h, blurred.data());
                    ASSERT_TRUE(gaussian_blur_plane_on(path, blurred.data(), w, h, taps, edge));
                    for (uint32_t y = 0; y < h; ++y)
                        for (uint32_t x = 0; x < w; ++x)
                            ASSERT_EQ(std::bit_cast<uint32_t>(blurred.row(y)[x]),
                                      std::bit_cast<uint32_t>(get_px(img.get(), x, y)[0]))
                                << w << "x" << h << " taps " << taps << " edge " << edge
                                << " path " << path << " at " << x << "," << y;
                }
            }
        }
    }
}
