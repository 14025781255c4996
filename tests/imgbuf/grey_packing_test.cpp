#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "image_helpers.h"
#include "imgbuf/grey_packing.h"
#include "reliefkit_rk.h"

namespace {

// Grey and opaque, every value distinct, negative zero and a NaN among them.
Img grey_of(uint32_t w, uint32_t h) {
    return image_of(w, h, [w](uint32_t x, uint32_t y) {
        float v = static_cast<float>(y * w + x) * 0.37f - 5.0f;
        if (x == 1 && y == 0) v = -0.0f;
        if (x == 2 && y == 1) v = NAN;
        return Px{v, v, v, 1.0f};
    });
}

}  // namespace

// Folding puts each pixel's grey at its index in the pixels' first quarter,
// whatever the rest of the pixels then hold; unfolding gives back the image
// bit for bit. Shapes from one pixel to many rows (the rows fold in bands of
// growing size, some cut short by the image's end), on one thread and two.
TEST(GreyPacking, FoldsAndUnfoldsExactly) {
    const std::tuple<uint32_t, uint32_t> shapes[] = {{1, 1}, {7, 1}, {1, 9},   {3, 2},
                                                     {5, 17}, {64, 300}, {301, 65}};
    for (uint32_t threads : {1u, 2u}) {
        for (const auto& [w, h] : shapes) {
            Img img = grey_of(w, h), want = grey_of(w, h);
            ASSERT_TRUE(on_threads(threads, [&] { return rk::foldable_grey(img.get()); }));
            on_threads(threads, [&] {
                rk::fold_grey(img.get());
                return 0;
            });
            const float* f = imgbuf_row(img.get(), 0);
            for (uint32_t i = 0; i < w * h; ++i)
                ASSERT_TRUE(same_bits(f[i], imgbuf_row(want.get(), i / w)[4 * (i % w)]))
                    << w << "x" << h << " at " << i;
            // The rest is the caller's scratch meanwhile.
            for (size_t i = size_t{w} * h; i < size_t{4} * w * h; ++i) imgbuf_row(img.get(), 0)[i] = -7.0f;
            on_threads(threads, [&] {
                rk::unfold_grey(img.get());
                return 0;
            });
            EXPECT_TRUE(same_image(img.get(), want.get())) << w << "x" << h << " on " << threads;
        }
    }
}

// Only what unfolds to the same bits folds: one channel apart by a bit, an
// alpha other than 1, rows with a gap between them, no pixels.
TEST(GreyPacking, RefusesWhatWouldNotComeBack) {
    const Px off[] = {{0.5f, std::nextafter(0.5f, 1.0f), 0.5f, 1.0f},
                      {0.5f, 0.5f, -0.5f, 1.0f},
                      {-0.0f, 0.0f, 0.0f, 1.0f},
                      {0.5f, 0.5f, 0.5f, 0.999f}};
    for (const Px& p : off) {
        Img img = grey_of(40, 33);
        set_px(img.get(), 39, 32, p);
        EXPECT_FALSE(rk::foldable_grey(img.get())) << p[0] << " " << p[1] << " " << p[3];
    }
    std::vector<float> pixels(4 * 6 * 3, 1.0f);
    imgbuf* gapped = nullptr;
    ASSERT_EQ(rk_image_wrap(pixels.data(), 5, 3, 4 * 6 * sizeof(float), &gapped), RK_OK);
    EXPECT_FALSE(rk::foldable_grey(gapped));
    rk_image_free(gapped);
    EXPECT_FALSE(rk::foldable_grey(nullptr));
}
