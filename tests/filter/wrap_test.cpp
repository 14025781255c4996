// Wrap mode on a W x H image must give exactly the centre of clamp mode on the
// image tiled (2n+1) x (2n+1), n so large that no clamped read reaches the centre:
// n = 1 (3 x 3) while kernels are shorter than the image, more for longer ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "heightmap/height_blurs.h"
#include "image_helpers.h"
#include "normalmap/normal_ops.h"

using namespace rk;
using Step = void (*)(imgbuf* out, const imgbuf* in, EdgeMode);  // out starts as in

namespace {

Img tiled(const imgbuf* src, uint32_t n) {
    return image_of(src->width * n, src->height * n, [src](uint32_t x, uint32_t y) {
        return get_px(src, x % src->width, y % src->height);
    });
}

void generators(imgbuf* o, const imgbuf* in, EdgeMode e, uint32_t blur) {
    ImgbufPtr h(calc_heightmap_from_photo_ex(in, 7, HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH,
                                             0.4f, 0, 1, 5, 0.12f, 1, 1, 1, 3, 0, e));
    ImgbufPtr n(calc_normalmap_from_heightmap_ex(h.get(), 0, 1, 3, 1, blur, 1, e));
    std::memcpy(o->pixels, n->pixels, size_t{o->width} * o->height * 16);
}

}  // namespace

TEST(WrapMode, EqualsCentreOfClampOnTiling) {
    // Each step with the pixels its result reaches beyond its own.
    // clang-format off
#define STEP(call, reach) {[](imgbuf* o, const imgbuf* in, EdgeMode e) { (void)in, call; }, reach}
    const std::vector<std::pair<Step, uint32_t>> all = {
        STEP(final_smoothing(o, 7, KERNEL_GAUSSIAN, e), 3), STEP(final_smoothing(o, 9, KERNEL_BOX, e), 4),
        STEP(final_smoothing(o, 31, KERNEL_TENT, e), 15), STEP(detail_filter(o, 7, 0.12f, e), 4),
        STEP(detail_filter(o, 21, 0.12f, e), 11), STEP(convolve_3x3(o, in, SOBEL_Y, 8.0f, e), 1),
        STEP(normal_from_height(o, in, 3, 2, e), 1), STEP(generators(o, in, e, 5), 6),
        STEP(generators(o, in, e, 25), 16)};
    // clang-format on
    std::mt19937 rng(3);
    for (auto [w, h] :
         {std::pair{23u, 17u}, {13u, 15u}, {261u, 9u}, {5u, 3u}, {1u, 1u}, {2u, 7u}}) {
        ImgbufPtr img = make_image(w, h);  // waves and grain: some pixels sharp, some flat
        for (uint32_t i = 0; i < 4 * w * h; ++i)
            img->pixels[i] = 0.5f + 0.3f * std::sin(0.05f * (i % (4 * w)) + 0.4f * (i / (4 * w))) +
                             (rng() % 1000) * 3e-4f;
        for (size_t c = 0; c < all.size(); ++c) {
            const uint32_t n = all[c].second / std::min(w, h) + 1;
            Img big = tiled(img.get(), 2 * n + 1), got = tiled(img.get(), 1),
                want = tiled(big.get(), 1);
            all[c].first(got.get(), img.get(), EDGE_WRAP);
            all[c].first(want.get(), big.get(), EDGE_CLAMP);
            for (uint32_t y = 0; y < h; ++y)
                ASSERT_EQ(0, std::memcmp(row_unchecked(got.get(), y),
                                         row_unchecked(want.get(), y + n * h) + 4 * n * w, 16 * w))
                    << "case " << c << ", " << w << "x" << h << ", row " << y;
        }
    }
}
