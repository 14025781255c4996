// The per-pixel operators a normal map is assembled from. Encoded normals hold
// 0.5 + 0.5 * component in red and green; blue holds nz itself straight from the
// gradient operator and 0.5 + 0.5 * nz once renormalised; alpha is 1.0.
#pragma once

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// Normals from the red channel of heights (scaled by strength, middle row and
// column weighted by centre_weight) into every interior pixel of normals; the
// outermost rows and columns are not written. Wrapping writes every pixel, the
// operator reading across the opposite edge. Both images have the same size;
// normals may be heights itself (a normal map made in place, with the same
// bits, for a few rows of scratch). False, normals untouched, when the images
// do not fit or that scratch cannot be had.
bool normal_from_height(imgbuf* normals, const imgbuf* heights, float strength, float centre_weight,
                        EdgeMode edge = EDGE_CLAMP) noexcept;

// Rows 0 and h-1 and columns 0 and w-1 become the flat normal (0.5, 0.5, 1, 1).
void fill_flat_border(imgbuf* normals) noexcept;

// Component := 1 - component over the whole image: negates an encoded axis.
void invert_red(imgbuf* img) noexcept;
void invert_green(imgbuf* img) noexcept;
void invert_red_green(imgbuf* img) noexcept;

// Decodes all four lanes (alpha too), scales them to unit length over the four
// lanes and encodes red, green and blue again; alpha becomes 1.0.
void renormalise_normals(imgbuf* img) noexcept;

}  // namespace rk
