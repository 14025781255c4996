#include "filter/convolve_3x3.h"

#include <cmath>

namespace rk {
namespace {

// The three source rows around one output row, clamped at the top and bottom.
struct Neighbourhood {
    const float* rows[3];
};

// The sum over the three rows at red offsets left, centre, right (in floats),
// in kernel order from 0.
inline float sum9(const Neighbourhood& n, const float* k, size_t left, size_t centre,
                  size_t right) noexcept {
    float s = 0.0f;
    for (int j = 0; j < 3; ++j) {
        s += k[3 * j] * n.rows[j][left];
        s += k[3 * j + 1] * n.rows[j][centre];
        s += k[3 * j + 2] * n.rows[j][right];
    }
    return s;
}

// Calls visit(y, x, neighbourhood, left, centre, right) for every pixel, the
// offsets being the red floats of the clamped columns. Clamping is per row
// (which rows are above and below) and per end column, so the interior loop
// reads its neighbours directly.
template <class Visit>
void for_each_3x3(const imgbuf* src, Visit visit) noexcept {
    const uint32_t w = src->width;
    const size_t last = 4 * size_t{w - 1};
    for (uint32_t y = 0; y < src->height; ++y) {
        const Neighbourhood n{{row_unchecked(src, y == 0 ? 0 : y - 1), row_unchecked(src, y),
                               row_unchecked(src, y + 1 == src->height ? y : y + 1)}};
        visit(y, size_t{0}, n, 0, 0, w > 1 ? 4 : 0);
        for (size_t x = 4; x < last; x += 4) visit(y, x / 4, n, x - 4, x, x + 4);
        if (w > 1) visit(y, size_t{w - 1}, n, last - 4, last, last);
    }
}

}  // namespace

void convolve_3x3(imgbuf* dst, const imgbuf* src, const float kernel[9], float divisor) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !kernel || dst->pixels == src->pixels) return;
    if (!same_size(dst, src) || dst->width == 0 || dst->height == 0) return;
    const float scale = 1.0f / divisor;
    for_each_3x3(src,
                 [&](uint32_t y, size_t x, const Neighbourhood& n, size_t l, size_t c, size_t r) {
                     float* px = row_unchecked(dst, y) + 4 * x;
                     px[0] = sum9(n, kernel, l, c, r) * scale;
                     px[3] = 1.0f;
                 });
}

void edge_strength_3x3(float* out, const imgbuf* src, const float kernel_x[9],
                       const float kernel_y[9], float divisor) noexcept {
    if (!out || !has_pixels(src) || !kernel_x || !kernel_y) return;
    if (src->width == 0 || src->height == 0) return;
    const float scale = 1.0f / divisor;
    const size_t w = src->width;
    for_each_3x3(src,
                 [&](uint32_t y, size_t x, const Neighbourhood& n, size_t l, size_t c, size_t r) {
                     const float gx = sum9(n, kernel_x, l, c, r) * scale;
                     const float gy = sum9(n, kernel_y, l, c, r) * scale;
                     out[y * w + x] = (std::fabs(gx) + std::fabs(gy)) * 0.5f;
                 });
}

}  // namespace rk
