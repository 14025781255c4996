// Separable convolution with a kernel of taps k = 0..size-1 around radius
// r = (size - 1) / 2, clamp-to-edge. Each output pixel is
// (norm * S.r, norm * S.g, norm * S.b, 1.0) where S adds weights4[k] * pixel in
// tap order, in single precision.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

using Taps4 = const float (*)[4];

// Horizontal pass over columns 0..x_last, rows 0..y_last (both lowered to the
// image's last column and row). dst and src are distinct images of equal size;
// anything else leaves dst untouched.
void convolve_rows(imgbuf* dst, const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                   uint32_t x_last, uint32_t y_last) noexcept;
// Vertical pass, likewise.
void convolve_columns(imgbuf* dst, const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                      uint32_t x_last, uint32_t y_last) noexcept;

// One output pixel at x of a row of count pixels.
void convolve_row_at(float out[4], const float* row, Taps4 weights4, uint32_t size, float norm,
                     uint32_t count, uint32_t x) noexcept;
// One output pixel at (x, y) of column x of src, of height rows.
void convolve_column_at(float out[4], const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                        uint32_t height, uint32_t x, uint32_t y) noexcept;

// The instruction-set builds of the whole-image passes. All give the same bits;
// the passes above use the widest one the processor runs.
enum ConvolvePath : uint32_t { CONVOLVE_PLAIN = 0, CONVOLVE_AVX2 = 1, CONVOLVE_AVX512 = 2 };

bool convolve_path_supported(ConvolvePath path) noexcept;
ConvolvePath convolve_best_path() noexcept;

// The passes on a chosen build, for comparing the builds; a build the processor
// cannot run falls back to the plain one.
void convolve_rows_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 weights4,
                      uint32_t size, float norm, uint32_t x_last, uint32_t y_last) noexcept;
void convolve_columns_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 weights4,
                         uint32_t size, float norm, uint32_t x_last, uint32_t y_last) noexcept;

}  // namespace rk
