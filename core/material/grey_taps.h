// One line of a grey plane's Gaussian blur, as each instruction-set build
// provides it (grey_blur.cpp picks one).
#pragma once

#include <cstdint>

namespace rk {

// out[x] = (sum over k < size of weight[k] * taps[k][x]) * norm for x < n: each
// sum starts at 0 and adds its taps in order, the operations of the image blur
// on one channel, so every build gives the same bits.
using GreyTapsFn = void (*)(float* out, const float* const* taps, const float* weight,
                            uint32_t size, float norm, uint32_t n) noexcept;

void grey_taps_plain(float* out, const float* const* taps, const float* weight, uint32_t size,
                     float norm, uint32_t n) noexcept;
#if defined(__x86_64__)
void grey_taps_avx2(float* out, const float* const* taps, const float* weight, uint32_t size,
                    float norm, uint32_t n) noexcept;
#endif

}  // namespace rk
