// Wrap mode reads across the opposite edge: on a W x H image every step must
// give exactly what clamp mode gives in the centre of a tiling of the image
// wide enough that no clamped read reaches the centre.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "filter/kernel_cache.h"
#include "heightmap/height_blurs.h"
#include "normalmap/normal_ops.h"
#include "reliefkit.h"

using namespace rk;

namespace {

using Step = std::function<ImgbufPtr(const imgbuf*, EdgeMode)>;

ImgbufPtr copy_of(const imgbuf* src) {
    ImgbufPtr out = make_image(src->width, src->height);
    std::memcpy(out->pixels, src->pixels, size_t{src->width} * src->height * 16);
    return out;
}

// Smooth waves plus noise: some pixels sharp, some flat for the detail filter.
ImgbufPtr test_image(uint32_t w, uint32_t h) {
    ImgbufPtr img = make_image(w, h);
    std::mt19937 rng(w * 131 + h);
    std::uniform_real_distribution<float> noise(0.0f, 0.3f);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < 4 * w; ++x)
            row_unchecked(img.get(), y)[x] =
                0.5f + 0.3f * std::sin(0.05f * x + 0.4f * y) + noise(rng);
    return img;
}

ImgbufPtr tiled(const imgbuf* src, uint32_t n) {
    const uint32_t w = src->width, h = src->height;
    ImgbufPtr out = make_image(w * n, h * n);
    for (uint32_t y = 0; y < h * n; ++y)
        for (uint32_t x = 0; x < w * n; ++x)
            std::memcpy(row_unchecked(out.get(), y) + 4 * x,
                        row_unchecked(src, y % h) + 4 * (x % w), 16);
    return out;
}

Step in_place(std::function<void(imgbuf*, EdgeMode)> f) {
    return [f](const imgbuf* src, EdgeMode e) {
        ImgbufPtr img = copy_of(src);
        f(img.get(), e);
        return img;
    };
}

Step blur_on(ConvolvePath path, KernelKind kind, uint32_t size) {
    return [=](const imgbuf* src, EdgeMode e) {
        const BlurKernel* k = kernel_cache_get(kind, size);
        ImgbufPtr tmp = copy_of(src), out = copy_of(src);
        const uint32_t xl = src->width - 1, yl = src->height - 1;
        convolve_rows_on(path, tmp.get(), src, k->weights4, size, k->norm, xl, yl, e);
        convolve_columns_on(path, out.get(), tmp.get(), k->weights4, size, k->norm, xl, yl, e);
        return out;
    };
}

ImgbufPtr edge_map(const imgbuf* src, EdgeMode e) {
    ImgbufPtr out = copy_of(src);
    std::vector<float> edges(size_t{src->width} * src->height);
    edge_strength_3x3(edges.data(), src, SOBEL_X, SOBEL_Y, 8.0f, e);
    for (size_t i = 0; i < edges.size(); ++i) out->pixels[4 * i] = edges[i];
    return out;
}

ImgbufPtr generators(const imgbuf* src, EdgeMode e, uint32_t normal_blur) {
    ImgbufPtr height(calc_heightmap_from_photo_ex(src, 7,
                                                  HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH,
                                                  0.4f, 0, 1, 5, 0.12f, 1, 1, 1, 3, 0, e));
    return ImgbufPtr(calc_normalmap_from_heightmap_ex(height.get(), 0, 1, 3, 1, normal_blur, 1, e));
}

struct WrapCase {
    const char* name;
    Step step;
    uint32_t reach;  // pixels a result depends on beyond its own, at most
};

std::vector<WrapCase> cases() {
    std::vector<WrapCase> c = {
        {"gaussian smoothing",
         in_place([](imgbuf* i, EdgeMode e) { final_smoothing(i, 7, KERNEL_GAUSSIAN, e); }), 3},
        {"box smoothing",
         in_place([](imgbuf* i, EdgeMode e) { final_smoothing(i, 9, KERNEL_BOX, e); }), 4},
        {"tent smoothing",
         in_place([](imgbuf* i, EdgeMode e) { final_smoothing(i, 5, KERNEL_TENT, e); }), 2},
        {"detail filter", in_place([](imgbuf* i, EdgeMode e) { detail_filter(i, 7, 0.12f, e); }),
         4},
        {"sobel 3x3", in_place([](imgbuf* i, EdgeMode e) {
             ImgbufPtr s = copy_of(i);
             convolve_3x3(i, s.get(), SOBEL_X, 8.0f, e);
         }),
         1},
        {"edge strength", edge_map, 1},
        {"gradient", in_place([](imgbuf* i, EdgeMode e) {
             ImgbufPtr s = copy_of(i);
             normal_from_height(i, s.get(), 3.0f, 2.0f, e);
         }),
         1},
        {"both generators", [](const imgbuf* s, EdgeMode e) { return generators(s, e, 5); }, 6},
    };
    for (auto path : {CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512})
        if (convolve_path_supported(path))
            c.push_back({"blur pass", blur_on(path, KERNEL_TENT, 11), 5});
    return c;
}

// Compares wrap on img with the centre of clamp on a (2n+1) x (2n+1) tiling.
void expect_wrap_is_tiled_centre(const WrapCase& c, const imgbuf* img, uint32_t n) {
    const uint32_t w = img->width, h = img->height;
    ImgbufPtr got = c.step(img, EDGE_WRAP);
    ImgbufPtr big = tiled(img, 2 * n + 1);
    ImgbufPtr want = c.step(big.get(), EDGE_CLAMP);
    ASSERT_TRUE(got && want) << c.name;
    for (uint32_t y = 0; y < h; ++y)
        ASSERT_EQ(0,
                  std::memcmp(row_unchecked(got.get(), y),
                              row_unchecked(want.get(), y + n * h) + 4 * (n * w), 16 * size_t{w}))
            << c.name << " " << w << "x" << h << " row " << y;
}

}  // namespace

TEST(WrapMode, EqualsCentreOfClampOnTiling) {
    init();
    for (auto [w, h] : {std::pair{23u, 17u}, {13u, 15u}, {261u, 9u}})
        for (const WrapCase& c : cases()) {
            ImgbufPtr img = test_image(w, h);
            expect_wrap_is_tiled_centre(c, img.get(), 1);
        }
}

// Kernels longer than the image wrap as often as they need: enough tiles that
// no clamped read reaches the centre.
TEST(WrapMode, LongKernelsWrapRepeatedly) {
    init();
    const std::vector<WrapCase> long_cases = {
        {"gaussian 31",
         in_place([](imgbuf* i, EdgeMode e) { final_smoothing(i, 31, KERNEL_GAUSSIAN, e); }), 15},
        {"detail 21", in_place([](imgbuf* i, EdgeMode e) { detail_filter(i, 21, 0.12f, e); }), 11},
        {"normal blur 25", [](const imgbuf* s, EdgeMode e) { return generators(s, e, 25); }, 16},
    };
    for (auto [w, h] : {std::pair{5u, 3u}, {1u, 1u}, {2u, 7u}})
        for (const WrapCase& c : long_cases) {
            ImgbufPtr img = test_image(w, h);
            expect_wrap_is_tiled_centre(c, img.get(), c.reach / std::min(w, h) + 1);
        }
}

TEST(WrapMode, UnknownEdgeModeGivesNull) {
    ImgbufPtr img = test_image(4, 4);
    EXPECT_EQ(nullptr,
              calc_heightmap_from_photo_ex(img.get(), 7, 0, 0.5f, 0, 1, 0, 0, 1, 1, 1, 0, 0, 2));
    EXPECT_EQ(nullptr, calc_normalmap_from_heightmap_ex(img.get(), 0, 0, 2, 1, 0, 0, 2));
}
