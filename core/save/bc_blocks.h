// Block compression of one 4 x 4 block: BC4 (one channel, which BC5 uses
// twice) and BC7 (colour with alpha, in its single-line mode 6).
//
// Both encoders start from the float samples, not from 8-bit copies, so their
// only loss is the format's own. BC4: the endpoints of both of its palettes
// (8 levels, or 6 levels with black and white) are fitted by least squares to
// the samples' levels and then searched one step around; BC7 mode 6: the
// colours' principal axis gives the first endpoints, least squares refines
// them, and both endpoints' parity bits are chosen by trying all four. Every
// step is a fixed sequence of float operations: the same block gives the same
// bytes on every thread and machine.
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
