#include "filter/convolve.h"

#include <algorithm>

namespace rk {
namespace {

inline int64_t clamp_pos(int64_t p, int64_t last) noexcept { return std::clamp<int64_t>(p, 0, last); }

// Sums taps over pixels at base + clamp(p - r + k) * step (floats), in tap order.
inline void sum_line(float out[4], const float* base, size_t step, Taps4 w, uint32_t size,
                     float norm, int64_t p, int64_t last) noexcept {
    const int64_t r = (size - 1) / 2;
    float s[4] = {0, 0, 0, 0};
    for (uint32_t k = 0; k < size; ++k) {
        const float* px = base + static_cast<size_t>(clamp_pos(p - r + k, last)) * step;
        for (int c = 0; c < 4; ++c) s[c] += w[k][c] * px[c];
    }
    out[0] = s[0] * norm;
    out[1] = s[1] * norm;
    out[2] = s[2] * norm;
    out[3] = 1.0f;
}

}  // namespace

void convolve_rows(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                   uint32_t x_last, uint32_t y_last) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || dst->width == 0 || dst->height == 0) return;
    x_last = std::min(x_last, dst->width - 1);
    y_last = std::min(y_last, dst->height - 1);
    for (uint32_t y = 0; y <= y_last; ++y) {
        const float* s = row_unchecked(src, y);
        float* d = row_unchecked(dst, y);
        for (uint32_t x = 0; x <= x_last; ++x) sum_line(d + 4 * size_t{x}, s, 4, w, size, norm, x, x_last);
    }
}

void convolve_columns(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                      uint32_t x_last, uint32_t y_last) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || dst->width == 0 || dst->height == 0) return;
    x_last = std::min(x_last, dst->width - 1);
    y_last = std::min(y_last, dst->height - 1);
    const size_t stride = stride_floats(src);
    for (uint32_t x = 0; x <= x_last; ++x) {
        for (uint32_t y = 0; y <= y_last; ++y) {
            sum_line(row_unchecked(dst, y) + 4 * size_t{x}, src->pixels + 4 * size_t{x}, stride, w,
                     size, norm, y, y_last);
        }
    }
}

void convolve_row_at(float out[4], const float* row, Taps4 w, uint32_t size, float norm,
                     uint32_t count, uint32_t x) noexcept {
    if (count == 0) return;
    sum_line(out, row, 4, w, size, norm, x, int64_t{count} - 1);
}

void convolve_column_at(float out[4], const imgbuf* src, Taps4 w, uint32_t size, float norm,
                        uint32_t height, uint32_t x, uint32_t y) noexcept {
    if (height == 0 || !has_pixels(src)) return;
    sum_line(out, src->pixels + 4 * size_t{x}, stride_floats(src), w, size, norm, y,
             int64_t{height} - 1);
}

}  // namespace rk
