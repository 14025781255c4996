// Block compression of one 4 x 4 block: BC4 (one channel, which BC5 uses
// twice) and BC7 (colour with alpha, in two of its modes).
//
// Both encoders start from the float samples, not from 8-bit copies, so their
// only loss is the format's own. BC4: each of its palettes (8 levels, or 6
// levels with black and white) is fitted by least squares from a few starting
// ranges, then by stepping the endpoints while that lowers the squared error.
// BC7: mode 6 (one line through RGBA, 16 levels) for blocks whose colours lie
// near a line; where that leaves more than a step of error, mode 5 (a line
// through three channels and the fourth on its own, 4 levels each) with each
// of its four channel rotations, whichever errs least. A line starts on the
// samples' principal axis and is refined by least squares. Every step is a
// fixed sequence of float operations: the same block gives the same bytes on
// every thread and machine.
#pragma once

#include <cstdint>

namespace rk {

inline constexpr uint32_t kBc4BlockBytes = 8;
inline constexpr uint32_t kBc7BlockBytes = 16;

// values: the block's 16 samples row by row, 0 to 1 (others are clamped, NaN
// counts as 0). Writes 8 bytes.
void encode_bc4_block(const float values[16], uint8_t out[kBc4BlockBytes]) noexcept;

// rgba: the block's 16 pixels row by row, red, green, blue, alpha each 0 to 1
// (clamped, NaN as 0). Writes 16 bytes.
void encode_bc7_block(const float rgba[64], uint8_t out[kBc7BlockBytes]) noexcept;

}  // namespace rk
