// The clamped luminance that calc_luminance_inplace and the luminance modes of
// the height map share, and the unit clamp of the height-map conversions.
#pragma once

#include <cstdint>

namespace rk {

// max(0, min(v, 1)) where the minimum takes the bound for an unordered value:
// NaN counts as 1.
inline float clamp01(float v) noexcept {
    const float below_one = v < 1.0f ? v : 1.0f;
    return below_one > 0.0f ? below_one : 0.0f;
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
