// The whole-image passes as each instruction-set build provides them. The files
// that include this are compiled for different processors, so it holds no inline
// function: one compiled for AVX-512 must never be picked for a plain caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rk {

// Kernels longer than this have no weights4 table; the passes size their stack
// scratch by it.
inline constexpr uint32_t kMaxConvolveTaps = 255;

// The bits of every NaN a convolution gives, whichever build summed it.
inline constexpr int32_t kQuietNaNBits = 0x7fc00000;

// One pass over columns 0..width-1 and rows 0..height-1 of two distinct images.
struct ConvolveJob {
    float* dst;
    const float* src;
    size_t stride;  // floats per row
    uint32_t width;
    uint32_t height;
    const float (*weights4)[4];
    uint32_t size;  // 1..kMaxConvolveTaps
    float norm;
    // Vertical pass only. Output rows first_row .. first_row + rows - 1 (rows 0:
    // through the last row); taps still clamp to rows 0..height-1. With
    // src_ring set, source row r lives at src + (r % src_ring) * stride: a ring
    // of horizontal results that a banded blur refills as it goes down.
    uint32_t first_row = 0;
    uint32_t rows = 0;
    uint32_t src_ring = 0;
    // Taps beyond the first or last pixel of a line read across the opposite
    // end (wrapping as often as needed) instead of repeating the end pixel.
    bool wrap = false;
    // Vertical pass only: output row y goes to dst + (y - dst_first) * stride.
    uint32_t dst_first = 0;
    // Floats per source row when the source is laid out apart from dst (a
    // banded blur's ring, a caller's image with a stride of its own); 0: stride.
    size_t src_stride = 0;
};

void convolve_rows_plain(const ConvolveJob& job) noexcept;
void convolve_columns_plain(const ConvolveJob& job) noexcept;
#if defined(__x86_64__)
void convolve_rows_avx2(const ConvolveJob& job) noexcept;
void convolve_columns_avx2(const ConvolveJob& job) noexcept;
void convolve_rows_avx512(const ConvolveJob& job) noexcept;
void convolve_columns_avx512(const ConvolveJob& job) noexcept;
#endif

}  // namespace rk
