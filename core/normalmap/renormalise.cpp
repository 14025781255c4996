#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/thread_pool.h"
#include "normalmap/normal_ops.h"

#if defined(__SSE__)
#include "normalmap/sse_pixels.h"
#endif

namespace rk {
namespace {

#if defined(__SSE__)

// 1/sqrt(s) per lane: the processor's estimate (relative error at most 1.5 * 2^-12)
// refined by one Newton-Raphson step, r' = (r * 0.5) * (3 - (r * r) * s). This
// approximation is part of the output contract: it is kept instead of an exact
// root so that a blurred normal map has the same bits in every release.
inline __m128 inverse_length(__m128 s) noexcept {
    const __m128 r = _mm_rsqrt_ps(s);
    const __m128 rr_s = _mm_mul_ps(_mm_mul_ps(r, r), s);
    return _mm_mul_ps(_mm_mul_ps(r, _mm_set1_ps(0.5f)), _mm_sub_ps(_mm_set1_ps(3.0f), rr_s));
}

inline __m128 decode(__m128 v) noexcept {
    return _mm_mul_ps(_mm_sub_ps(v, _mm_set1_ps(0.5f)), _mm_set1_ps(2.0f));
}

inline __m128 encode(__m128 inv, __m128 n) noexcept {
    const __m128 half = _mm_set1_ps(0.5f);
    return _mm_add_ps(_mm_mul_ps(_mm_mul_ps(inv, n), half), half);
}

// Four consecutive pixels at p (16-byte aligned). Transposed, each lane holds one
// pixel, so the squared length is summed lane by lane in the same order as for a
// single pixel and one estimate serves four pixels.
inline void renormalise4(float* p) noexcept {
    __m128 r = _mm_load_ps(p);
    __m128 g = _mm_load_ps(p + 4);
    __m128 b = _mm_load_ps(p + 8);
    __m128 a = _mm_load_ps(p + 12);
    _MM_TRANSPOSE4_PS(r, g, b, a);
    const __m128 nr = decode(r), ng = decode(g), nb = decode(b), na = decode(a);
    const __m128 s = _mm_add_ps(_mm_add_ps(_mm_mul_ps(nr, nr), _mm_mul_ps(ng, ng)),
                                _mm_add_ps(_mm_mul_ps(nb, nb), _mm_mul_ps(na, na)));
    const __m128 inv = inverse_length(s);
    store_pixels4(p, encode(inv, nr), encode(inv, ng), encode(inv, nb));
}

#else

// Without a reciprocal-square-root estimate the exact value stands in.
inline void renormalise4(float* p) noexcept {
    for (int i = 0; i < 4; ++i, p += 4) {
        const float nr = (p[0] - 0.5f) * 2.0f, ng = (p[1] - 0.5f) * 2.0f;
        const float nb = (p[2] - 0.5f) * 2.0f, na = (p[3] - 0.5f) * 2.0f;
        const float inv = 1.0f / std::sqrt((nr * nr + ng * ng) + (nb * nb + na * na));
        p[0] = ((inv * nr) * 0.5f) + 0.5f;
        p[1] = ((inv * ng) * 0.5f) + 0.5f;
        p[2] = ((inv * nb) * 0.5f) + 0.5f;
        p[3] = 1.0f;
    }
}

#endif

// count pixels from p on, in groups of four; the last one to three go through
// a padded block, so nothing past them is read or written.
void renormalise_run(float* p, size_t count) noexcept {
    const size_t groups = count / 4;
    for (size_t g = 0; g < groups; ++g, p += 16) renormalise4(p);
    if (const size_t rest = count - 4 * groups) {
        alignas(16) float block[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        std::memcpy(block, p, rest * 4 * sizeof(float));
        renormalise4(block);
        std::memcpy(p, block, rest * 4 * sizeof(float));
    }
}

}  // namespace

// Each pixel is renormalised on its own, so how the pixels are grouped never
// changes a result.
void renormalise_normals(imgbuf* img) noexcept {
    if (!has_pixels(img)) return;
    if (!rows_packed(img)) {  // a caller's image with gaps between its rows
        parallel_rows(img->height, 16, [img](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) renormalise_run(row_unchecked(img, y), img->width);
        });
        return;
    }
    // Rows hold no gap: the image is one run of width * height pixels, cut into
    // bands of whole groups of four pixels; the last band takes the remainder.
    const size_t count = size_t{img->width} * img->height;
    const size_t groups = count / 4;
    const auto bands = row_bands(static_cast<uint32_t>(std::min<size_t>(groups, UINT32_MAX)), 4096);
    parallel_for(bands, [&](uint32_t b) noexcept {
        const size_t g0 = groups * b / bands, g1 = groups * (b + 1) / bands;
        renormalise_run(img->pixels + 16 * g0, 4 * (g1 - g0));
    });
    renormalise_run(img->pixels + 16 * groups, count - 4 * groups);
}

}  // namespace rk
