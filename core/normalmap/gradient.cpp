#include <algorithm>
#include <cmath>

#include "common/block_cache.h"
#include "common/checked_size.h"
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

// Rows of scaled heights that an operator writing into its own source keeps:
// the rows it still reads after writing over them. One block for all.
class ScaledRows {
  public:
    ScaledRows(uint32_t width, uint32_t rows) noexcept
        : width_(width), block_(checked_bytes(width, rows)) {}
    explicit operator bool() const noexcept { return static_cast<bool>(block_); }
    float* row(uint32_t i) const noexcept { return block_.get<float>() + size_t{i} * width_; }

  private:
    static size_t checked_bytes(uint32_t width, uint32_t rows) noexcept {
        const auto bytes = checked_product(width, rows, sizeof(float), UINT64_MAX);
        return bytes ? *bytes : SIZE_MAX;
    }
    uint32_t width_;
    Block block_;
};

// Output row out from three rows of w scaled heights, wrapping: each strip's two
// outer columns are picked once, so the strip itself runs as in the interior.
void wrapped_row(float* out, const float* const rows[3], uint32_t w, float centre_weight) noexcept {
    float up[kStrip + 2];
    float mid[kStrip + 2];
    float down[kStrip + 2];
    float* strips[3] = {up, mid, down};
    for (uint32_t x0 = 0; x0 < w; x0 += kStrip) {
        const uint32_t n = std::min(kStrip, w - x0);
        for (int j = 0; j < 3; ++j) {
            strips[j][0] = rows[j][x0 == 0 ? w - 1 : x0 - 1];
            std::copy_n(rows[j] + x0, n, strips[j] + 1);
            strips[j][n + 1] = rows[j][x0 + n == w ? 0 : x0 + n];
        }
        gradient_strip(out + 4 * size_t{x0}, up, mid, down, n, centre_weight);
    }
}

// Every pixel, the operator reading across the opposite edges, row after row.
// Each row's scaled heights are taken before the row is written, so normals may
// be heights itself: the last row reads the first one's saved heights.
bool normal_from_height_wrapped(imgbuf* normals, const imgbuf* heights, float strength,
                                float centre_weight) noexcept {
    const uint32_t w = heights->width;
    const uint32_t h = heights->height;
    const ScaledRows rows(w, 4);  // the first row, then a ring of three
    if (!rows) return false;
    gather_scaled(rows.row(0), row_unchecked(heights, 0), w, strength);
    gather_scaled(rows.row(1), row_unchecked(heights, h - 1), w, strength);
    std::copy_n(rows.row(0), w, rows.row(2));
    for (uint32_t y = 0; y < h; ++y) {
        float* next = rows.row(1 + (y + 2) % 3);
        if (y + 1 < h) {
            gather_scaled(next, row_unchecked(heights, y + 1), w, strength);
        } else {
            std::copy_n(rows.row(0), w, next);
        }
        const float* const ring[3] = {rows.row(1 + y % 3), rows.row(1 + (y + 1) % 3), next};
        wrapped_row(row_unchecked(normals, y), ring, w, centre_weight);
    }
    return true;
}

// The interior when normals is heights itself. Each band of rows keeps a ring
// of three rows of scaled heights, filled from its own rows before it writes
// them; the rows just outside a band, which its neighbours write, are saved
// for every band before any band starts.
bool normal_from_height_in_place(imgbuf* img, float strength, float centre_weight) noexcept {
    const uint32_t w = img->width;
    const uint32_t inner = img->height - 2;
    const uint32_t bands = row_bands(inner, 16);
    const ScaledRows rows(w, 5 * bands);  // per band: above, below, ring of three
    if (!rows) return false;
    parallel_bands(inner, bands, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        gather_scaled(rows.row(5 * b), row_unchecked(img, y0), w, strength);
        gather_scaled(rows.row(5 * b + 1), row_unchecked(img, y1 + 1), w, strength);
    });
    // Band b writes rows y0 + 1 .. y1 and reads rows y0 .. y1 + 1.
    parallel_bands(inner, bands, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        const float* above = rows.row(5 * b);
        float* ring[3] = {rows.row(5 * b + 2), rows.row(5 * b + 3), rows.row(5 * b + 4)};
        gather_scaled(ring[0], row_unchecked(img, y0 + 1), w, strength);
        for (uint32_t y = y0 + 1, k = 0; y <= y1; ++y, ++k) {
            const float* here = ring[k % 3];
            const float* below = rows.row(5 * b + 1);
            if (y < y1) {
                gather_scaled(ring[(k + 1) % 3], row_unchecked(img, y + 1), w, strength);
                below = ring[(k + 1) % 3];
            }
            float* out = row_unchecked(img, y);
            for (uint32_t x0 = 1; x0 + 1 < w; x0 += kStrip) {
                const uint32_t n = std::min(kStrip, w - 1 - x0);
                gradient_strip(out + 4 * size_t{x0}, above + x0 - 1, here + x0 - 1, below + x0 - 1,
                               n, centre_weight);
            }
            above = here;
        }
    });
    return true;
}

}  // namespace

bool normal_from_height(imgbuf* normals, const imgbuf* heights, float strength, float centre_weight,
                        EdgeMode edge) noexcept {
    if (!has_pixels(normals) || !has_pixels(heights) || !same_size(normals, heights)) return false;
    const uint32_t w = heights->width;
    const uint32_t h = heights->height;
    if (edge == EDGE_WRAP) {
        return w == 0 || h == 0 ||
               normal_from_height_wrapped(normals, heights, strength, centre_weight);
    }
    if (w < 3 || h < 3) return true;  // no interior
    if (normals->pixels == heights->pixels) {
        return normal_from_height_in_place(normals, strength, centre_weight);
    }

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
    return true;
}

}  // namespace rk
