#include "filter/convolve_3x3.h"

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

inline void put(float* px, float value) noexcept {
    px[0] = value;
    px[3] = 1.0f;
}

}  // namespace

// Clamping is per row (which rows are above and below) and per end column, so
// the interior loop reads its neighbours directly.
void convolve_3x3(imgbuf* dst, const imgbuf* src, const float kernel[9], float divisor) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !kernel || dst->pixels == src->pixels) return;
    if (!same_size(dst, src) || dst->width == 0 || dst->height == 0) return;
    const float scale = 1.0f / divisor;
    const uint32_t w = dst->width;
    const size_t last = 4 * size_t{w - 1};
    for (uint32_t y = 0; y < dst->height; ++y) {
        const Neighbourhood n{{row_unchecked(src, y == 0 ? 0 : y - 1), row_unchecked(src, y),
                               row_unchecked(src, y + 1 == dst->height ? y : y + 1)}};
        float* out = row_unchecked(dst, y);
        put(out, sum9(n, kernel, 0, 0, w > 1 ? 4 : 0) * scale);
        for (size_t x = 4; x < last; x += 4) put(out + x, sum9(n, kernel, x - 4, x, x + 4) * scale);
        if (w > 1) put(out + last, sum9(n, kernel, last - 4, last, last) * scale);
    }
}

}  // namespace rk
