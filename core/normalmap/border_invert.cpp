#include "normalmap/normal_ops.h"

#include "common/thread_pool.h"

namespace rk {
namespace {

constexpr float kFlat[4] = {0.5f, 0.5f, 1.0f, 1.0f};

inline void put_flat(float* px) noexcept {
    px[0] = kFlat[0];
    px[1] = kFlat[1];
    px[2] = kFlat[2];
    px[3] = kFlat[3];
}

// The channel choice is a template argument so the loop body holds no test.
template <bool Red, bool Green>
void invert(imgbuf* img) noexcept {
    if (!has_pixels(img)) return;
    parallel_rows(img->height, 32, [img](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* p = row_unchecked(img, y);
            for (uint32_t x = 0; x < img->width; ++x, p += 4) {
                if constexpr (Red) p[0] = 1.0f - p[0];
                if constexpr (Green) p[1] = 1.0f - p[1];
            }
        }
    });
}

}  // namespace

void fill_flat_border(imgbuf* normals) noexcept {
    if (!has_pixels(normals) || normals->width == 0 || normals->height == 0) return;
    const uint32_t w = normals->width;
    const uint32_t h = normals->height;
    float* top = row_unchecked(normals, 0);
    float* bottom = row_unchecked(normals, h - 1);
    for (uint32_t x = 0; x < w; ++x) {
        put_flat(top + 4 * size_t{x});
        put_flat(bottom + 4 * size_t{x});
    }
    for (uint32_t y = 1; y + 1 < h; ++y) {
        float* row = row_unchecked(normals, y);
        put_flat(row);
        put_flat(row + 4 * size_t{w - 1});
    }
}

void invert_red(imgbuf* img) noexcept {
    invert<true, false>(img);
}
void invert_green(imgbuf* img) noexcept {
    invert<false, true>(img);
}
void invert_red_green(imgbuf* img) noexcept {
    invert<true, true>(img);
}

}  // namespace rk
