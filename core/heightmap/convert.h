// Colour-to-height conversion: the first step of the height map.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

// One of the 34 conversion variants over a row of count pixels (dst may be src).
using ConvertRow = void (*)(float* dst, const float* src, uint32_t count) noexcept;

// The variant for mode 0..7 and the inversion bits of flags; null for a larger
// mode. Chosen once per image so that the pixel loops hold no tests.
ConvertRow conversion_variant(uint32_t mode, uint32_t flags) noexcept;

// dst = the grey height of every src pixel; dst and src have the same size.
void convert_to_height(imgbuf* dst, const imgbuf* src, ConvertRow variant) noexcept;

}  // namespace rk
