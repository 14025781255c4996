#include "filter/convolve_3x3.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace rk {
namespace {

// Pixels per strip of the edge map: three strips of reds stay on the stack.
constexpr uint32_t kEdgeStrip = 256;

using v4f = float __attribute__((vector_size(16)));
using v4i = int32_t __attribute__((vector_size(16)));

template <class T>
inline T load(const float* p) noexcept {
    T v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline float magnitude(float v) noexcept {
    return std::fabs(v);
}
inline v4f magnitude(v4f v) noexcept {
    return reinterpret_cast<v4f>(reinterpret_cast<v4i>(v) & 0x7FFFFFFF);
}

// The two kernels and the scale, for one pixel (T = float) or four (T = v4f).
struct EdgeKernels {
    float x[9], y[9], scale;

    EdgeKernels(const float* kx, const float* ky, float s) noexcept : scale(s) {
        for (int i = 0; i < 9; ++i) x[i] = kx[i], y[i] = ky[i];
    }

    // out[0..] = (|Gx * scale| + |Gy * scale|) * 0.5 for the pixels at red[.][i + 1].
    template <class T>
    void strength(float* out, const float (*red)[kEdgeStrip + 2], uint32_t i) const noexcept {
        T gx = T{}, gy = T{};
        for (int j = 0; j < 3; ++j) {
            for (int c = 0; c < 3; ++c) {
                const T v = load<T>(&red[j][i + c]);
                gx += x[3 * j + c] * v;
                gy += y[3 * j + c] * v;
            }
        }
        const T e = (magnitude(gx * scale) + magnitude(gy * scale)) * 0.5f;
        __builtin_memcpy(out, &e, sizeof e);
    }
};

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

// The rows above and below row y of src: clamped at the top and bottom, or
// across the opposite edge when wrapping.
Neighbourhood rows_around(const imgbuf* src, uint32_t y, EdgeMode edge) noexcept {
    const uint32_t h = src->height;
    const bool wrap = edge == EDGE_WRAP;
    const uint32_t above = y > 0 ? y - 1 : (wrap ? h - 1 : 0);
    const uint32_t below = y + 1 < h ? y + 1 : (wrap ? 0 : y);
    return {{row_unchecked(src, above), row_unchecked(src, y), row_unchecked(src, below)}};
}

// Calls visit(y, x, neighbourhood, left, centre, right) for every pixel, the
// offsets being the red floats of the clamped (or wrapped) columns. The edge is
// handled per row (which rows are above and below) and per end column, so the
// interior loop reads its neighbours directly.
template <class Visit>
void for_each_3x3(const imgbuf* src, EdgeMode edge, Visit visit) noexcept {
    const uint32_t w = src->width;
    const size_t last = 4 * size_t{w - 1};
    const bool wrap = edge == EDGE_WRAP;
    for (uint32_t y = 0; y < src->height; ++y) {
        const Neighbourhood n = rows_around(src, y, edge);
        visit(y, size_t{0}, n, wrap ? last : 0, 0, w > 1 ? 4 : 0);
        for (size_t x = 4; x < last; x += 4) visit(y, x / 4, n, x - 4, x, x + 4);
        if (w > 1) visit(y, size_t{w - 1}, n, last - 4, last, wrap ? 0 : last);
    }
}

}  // namespace

void convolve_3x3(imgbuf* dst, const imgbuf* src, const float kernel[9], float divisor,
                  EdgeMode edge) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !kernel || dst->pixels == src->pixels) return;
    if (!same_size(dst, src) || dst->width == 0 || dst->height == 0) return;
    const float scale = 1.0f / divisor;
    for_each_3x3(src, edge,
                 [&](uint32_t y, size_t x, const Neighbourhood& n, size_t l, size_t c, size_t r) {
                     float* px = row_unchecked(dst, y) + 4 * x;
                     px[0] = sum9(n, kernel, l, c, r) * scale;
                     px[3] = 1.0f;
                 });
}

void edge_strength_row(float* out, const imgbuf* src, uint32_t y, const float kernel_x[9],
                       const float kernel_y[9], float divisor, EdgeMode edge) noexcept {
    if (!out || !has_pixels(src) || !kernel_x || !kernel_y) return;
    if (src->width == 0 || y >= src->height) return;
    const float scale = 1.0f / divisor;
    const uint32_t w = src->width;
    const Neighbourhood around = rows_around(src, y, edge);
    const float* const* rows = around.rows;
    // The columns read left of the first and right of the last pixel.
    const uint32_t before = edge == EDGE_WRAP ? w - 1 : 0;
    const uint32_t after = edge == EDGE_WRAP ? 0 : w - 1;
    const EdgeKernels k(kernel_x, kernel_y, scale);
    // Reds of a strip and its two clamped neighbour columns, contiguous, so that
    // four pixels are summed at once, each adding its nine products in kernel
    // order.
    float red[3][kEdgeStrip + 2];
    for (uint32_t x0 = 0; x0 < w; x0 += kEdgeStrip) {
        const uint32_t n = std::min(kEdgeStrip, w - x0);
        for (int j = 0; j < 3; ++j) {
            red[j][0] = rows[j][4 * size_t{x0 == 0 ? before : x0 - 1}];
            for (uint32_t i = 0; i < n; ++i) red[j][i + 1] = rows[j][4 * size_t{x0 + i}];
            red[j][n + 1] = rows[j][4 * size_t{x0 + n == w ? after : x0 + n}];
        }
        uint32_t i = 0;
        for (; i + 4 <= n; i += 4) k.strength<v4f>(out + x0 + i, red, i);
        for (; i < n; ++i) k.strength<float>(out + x0 + i, red, i);
    }
}

void edge_strength_3x3(float* out, const imgbuf* src, const float kernel_x[9],
                       const float kernel_y[9], float divisor, EdgeMode edge) noexcept {
    if (!out || !has_pixels(src) || !kernel_x || !kernel_y) return;
    for (uint32_t y = 0; y < src->height; ++y) {
        edge_strength_row(out + size_t{y} * src->width, src, y, kernel_x, kernel_y, divisor, edge);
    }
}

}  // namespace rk
