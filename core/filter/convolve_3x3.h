// A 3 x 3 convolution of the red channel, clamp-to-edge or wrapping, and the edge map of the
// detail filter built from two of them.
#pragma once

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// Row-major: entries 0..2 weigh the row above (columns x-1, x, x+1), 3..5 the
// pixel's own row, 6..8 the row below; padded to twelve floats.
// SOBEL_X gives left minus right, SOBEL_Y above minus below.
inline constexpr float SOBEL_X[12] = {1, 0, -1, 2, 0, -2, 1, 0, -1, 0, 0, 0};
inline constexpr float SOBEL_Y[12] = {1, 2, 1, 0, 0, 0, -1, -2, -1, 0, 0, 0};

// dst.red = (sum of kernel * src.red over the clamped 3 x 3 neighbourhood, in
// row-major order) * (1 / divisor); dst.alpha = 1.0; dst green and blue are not
// written. dst and src are distinct images of the same size; anything else, or
// an empty image, leaves dst untouched.
void convolve_3x3(imgbuf* dst, const imgbuf* src, const float kernel[9], float divisor,
                  EdgeMode edge = EDGE_CLAMP) noexcept;

// out[y * width + x] = (|Gx| + |Gy|) * 0.5 with Gx and Gy the red values
// convolve_3x3 gives with kernel_x and kernel_y: the edge map in one pass and one
// float per pixel. out holds width * height floats; an empty image writes none.
void edge_strength_3x3(float* out, const imgbuf* src, const float kernel_x[9],
                       const float kernel_y[9], float divisor, EdgeMode edge = EDGE_CLAMP) noexcept;
// The same for row y alone: out[x] for x = 0..width-1, reading rows y-1..y+1
// (clamped or wrapped). Nothing for y beyond the image.
void edge_strength_row(float* out, const imgbuf* src, uint32_t y, const float kernel_x[9],
                       const float kernel_y[9], float divisor, EdgeMode edge = EDGE_CLAMP) noexcept;

}  // namespace rk
