// Four pixels held channel-planar in SSE registers (one pixel per lane), as the
// normal-map passes compute them.
#pragma once

#if defined(__SSE__)
#include <xmmintrin.h>

namespace rk {

// Stores four pixels (r, g, b lanes; alpha 1.0) interleaved at out (16-byte aligned).
inline void store_pixels4(float* out, __m128 r, __m128 g, __m128 b) noexcept {
    __m128 a = _mm_set1_ps(1.0f);
    _MM_TRANSPOSE4_PS(r, g, b, a);
    _mm_store_ps(out, r);
    _mm_store_ps(out + 4, g);
    _mm_store_ps(out + 8, b);
    _mm_store_ps(out + 12, a);
}

}  // namespace rk
#endif
