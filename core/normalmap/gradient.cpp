#include <algorithm>
#include <cmath>

#include "common/thread_pool.h"
#include "normalmap/normal_ops.h"

#if defined(__SSE__)
#include "normalmap/sse_pixels.h"
#endif

namespace rk {
namespace {

// Output pixels per strip: the three strips of scaled heights stay in L1 and on
// the stack, so the operator allocates nothing.
constexpr uint32_t kStrip = 256;

// Red channel of count pixels starting at p, each multiplied by the strength.
// Every sample is scaled exactly once per use, as the per-pixel form would scale
// it, so gathering them first changes no result.
inline void gather_scaled(float* __restrict out, const float* __restrict p, uint32_t count,
                          float strength) noexcept {
    for (uint32_t i = 0; i < count; ++i) out[i] = strength * p[4 * size_t{i}];
}

// One output pixel from the strips at i; the order of every operation is fixed.
inline void gradient_pixel(float* __restrict px, const float* __restrict up,
                           const float* __restrict mid, const float* __restrict down,
                           float k) noexcept {
    const float tl = up[0], tc = up[1], tr = up[2];
    const float ml = mid[0], mr = mid[2];
    const float bl = down[0], bc = down[1], br = down[2];
    const float gx = ((((k * ml + tl) + bl) - tr) - k * mr) - br;
    const float gy = ((((k * tc + tl) + tr) - bl) - k * bc) - br;
    const float len = std::sqrt((gy * gy + gx * gx) + 0.25f);
    px[0] = gx / len * 0.5f + 0.5f;
    px[1] = gy / len * 0.5f + 0.5f;
    px[2] = 0.5f / len;
    px[3] = 1.0f;
}

#if defined(__SSE__)

// Four output pixels at once, lane j computing exactly what gradient_pixel does for
// pixel j (square root and divisions are correctly rounded in both forms). The
// results are transposed into whole pixels so each is one aligned store; the
// compiler would scatter them lane by lane.
inline void gradient4(float* out, const float* up, const float* mid, const float* down,
                      __m128 k) noexcept {
    const __m128 tl = _mm_loadu_ps(up), tc = _mm_loadu_ps(up + 1), tr = _mm_loadu_ps(up + 2);
    const __m128 ml = _mm_loadu_ps(mid), mr = _mm_loadu_ps(mid + 2);
    const __m128 bl = _mm_loadu_ps(down), bc = _mm_loadu_ps(down + 1), br = _mm_loadu_ps(down + 2);
    const __m128 gx =
        _mm_sub_ps(_mm_sub_ps(_mm_sub_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(k, ml), tl), bl), tr),
                              _mm_mul_ps(k, mr)),
                   br);
    const __m128 gy =
        _mm_sub_ps(_mm_sub_ps(_mm_sub_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(k, tc), tl), tr), bl),
                              _mm_mul_ps(k, bc)),
                   br);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 len = _mm_sqrt_ps(
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(gy, gy), _mm_mul_ps(gx, gx)), _mm_set1_ps(0.25f)));
    const __m128 r = _mm_add_ps(_mm_mul_ps(_mm_div_ps(gx, len), half), half);
    const __m128 g = _mm_add_ps(_mm_mul_ps(_mm_div_ps(gy, len), half), half);
    store_pixels4(out, r, g, _mm_div_ps(half, len));
}

#endif

// n output pixels from three strips of n + 2 scaled heights that start one column
// left of the first output pixel.
inline void gradient_strip(float* __restrict out, const float* __restrict up,
                           const float* __restrict mid, const float* __restrict down, uint32_t n,
                           float k) noexcept {
    uint32_t i = 0;
#if defined(__SSE__)
    const __m128 k4 = _mm_set1_ps(k);
    for (; i + 4 <= n; i += 4) gradient4(out + 4 * size_t{i}, up + i, mid + i, down + i, k4);
#endif
    for (; i < n; ++i) gradient_pixel(out + 4 * size_t{i}, up + i, mid + i, down + i, k);
}

// Every pixel, the operator reading across the opposite edges: each row's
// neighbours and each strip's two outer columns are picked once, so the strip
// itself runs exactly as in the interior.
void normal_from_height_wrapped(imgbuf* normals, const imgbuf* heights, float strength,
                                float centre_weight) noexcept {
    const uint32_t w = heights->width;
    const uint32_t h = heights->height;
    float up[kStrip + 2];
    float mid[kStrip + 2];
    float down[kStrip + 2];
    for (uint32_t y = 0; y < h; ++y) {
        const float* rows[3] = {row_unchecked(heights, y == 0 ? h - 1 : y - 1),
                                row_unchecked(heights, y),
                                row_unchecked(heights, y + 1 == h ? 0 : y + 1)};
        float* strips[3] = {up, mid, down};
        float* out = row_unchecked(normals, y);
        for (uint32_t x0 = 0; x0 < w; x0 += kStrip) {
            const uint32_t n = std::min(kStrip, w - x0);
            const size_t before = 4 * size_t{x0 == 0 ? w - 1 : x0 - 1};
            const size_t after = 4 * size_t{x0 + n == w ? 0 : x0 + n};
            for (int j = 0; j < 3; ++j) {
                gather_scaled(strips[j], rows[j] + before, 1, strength);
                gather_scaled(strips[j] + 1, rows[j] + 4 * size_t{x0}, n, strength);
                gather_scaled(strips[j] + n + 1, rows[j] + after, 1, strength);
            }
            gradient_strip(out + 4 * size_t{x0}, up, mid, down, n, centre_weight);
        }
    }
}

}  // namespace

void normal_from_height(imgbuf* normals, const imgbuf* heights, float strength, float centre_weight,
                        EdgeMode edge) noexcept {
    if (!has_pixels(normals) || !has_pixels(heights) || !same_size(normals, heights)) return;
    const uint32_t w = heights->width;
    const uint32_t h = heights->height;
    if (edge == EDGE_WRAP) {
        if (w > 0 && h > 0) normal_from_height_wrapped(normals, heights, strength, centre_weight);
        return;
    }
    if (w < 3 || h < 3) return;  // no interior

    // Interior rows 1..h-2 in bands; every pixel depends on the heights alone.
    parallel_rows(h - 2, 16, [&](uint32_t b0, uint32_t b1) noexcept {
        float up[kStrip + 2];
        float mid[kStrip + 2];
        float down[kStrip + 2];
        for (uint32_t y = b0 + 1; y < b1 + 1; ++y) {
            const float* above = row_unchecked(heights, y - 1);
            const float* here = row_unchecked(heights, y);
            const float* below = row_unchecked(heights, y + 1);
            float* out = row_unchecked(normals, y);
            for (uint32_t x0 = 1; x0 + 1 < w; x0 += kStrip) {
                const uint32_t n = std::min(kStrip, w - 1 - x0);
                const size_t first = 4 * size_t{x0 - 1};
                gather_scaled(up, above + first, n + 2, strength);
                gather_scaled(mid, here + first, n + 2, strength);
                gather_scaled(down, below + first, n + 2, strength);
                gradient_strip(out + 4 * size_t{x0}, up, mid, down, n, centre_weight);
            }
        }
    });
}

}  // namespace rk
