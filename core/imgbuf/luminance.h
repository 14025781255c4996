// The clamped luminance that calc_luminance_inplace and the luminance modes of
// the height map share, and the unit clamp of the height-map conversions.
#pragma once

#include <cstdint>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace rk {

// max(0, min(v, 1)) where the minimum takes the bound for an unordered value:
// NaN counts as 1.
//
// The compiler turns the two comparisons, once a weight multiplies the result
// (as in every luminance), into branches on the pixel's value, which a
// photograph's pixels mispredict: six times slower than minss and maxss,
// which take their second operand on a failed comparison exactly as the
// comparisons below do, so the bits are the same.
inline float clamp01(float v) noexcept {
#if defined(__SSE__)
    const __m128 below_one = _mm_min_ss(_mm_set_ss(v), _mm_set_ss(1.0f));
    return _mm_cvtss_f32(_mm_max_ss(below_one, _mm_setzero_ps()));
#else
    const float below_one = v < 1.0f ? v : 1.0f;
    return below_one > 0.0f ? below_one : 0.0f;
#endif
}

// Writes (L, L, L, 1) for count pixels, L = 0.114 B + (0.299 R + 0.587 G) on the
// channels inverted as asked, then clamped. Each pixel is read before it is
// written, so dst may be src.
template <bool InvertRed, bool InvertGreen, bool InvertBlue>
void luminance_row(float* dst, const float* src, uint32_t count) noexcept {
    for (uint32_t x = 0; x < count; ++x, src += 4, dst += 4) {
        const float r = clamp01(InvertRed ? 1.0f - src[0] : src[0]);
        const float g = clamp01(InvertGreen ? 1.0f - src[1] : src[1]);
        const float b = clamp01(InvertBlue ? 1.0f - src[2] : src[2]);
        const float l = 0.114f * b + (0.299f * r + 0.587f * g);
        dst[0] = l;
        dst[1] = l;
        dst[2] = l;
        dst[3] = 1.0f;
    }
}

}  // namespace rk
