// Float to 8- and 16-bit conversion shared by the display row and the PNG writer.
#pragma once

#include <cstdint>

namespace rk {

// 0..1 maps to 0..255 by truncating v * 255 + 0.5 (halves round up). Values
// outside saturate instead of wrapping, and NaN gives 0, so a stray -0.1 or 1.5
// can never turn into a bright or dark speck.
inline uint8_t float_to_byte(float v) noexcept {
    float t = v * 255.0f + 0.5f;
    t = t > 0.0f ? t : 0.0f;  // NaN fails the test and becomes 0
    t = t < 255.0f ? t : 255.0f;
    return static_cast<uint8_t>(static_cast<int32_t>(t));
}

// 0..1 maps to 0..65535 the same way: v * 65535 rounded, saturating, NaN 0.
inline uint16_t float_to_word(float v) noexcept {
    float t = v * 65535.0f + 0.5f;
    t = t > 0.0f ? t : 0.0f;
    t = t < 65535.0f ? t : 65535.0f;
    return static_cast<uint16_t>(static_cast<int32_t>(t));
}

}  // namespace rk
