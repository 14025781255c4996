// The mipmap levels of a texture, each made from the one before.
//
// Filter: each level is max(1, w / 2) x max(1, h / 2) of the one before (the
// size rule of Direct3D and OpenGL), and each of its pixels is the mean of the
// area of the larger level it covers, partly covered pixels weighted by the
// part (a box filter; for even sizes plainly the mean of 2 x 2 pixels). The
// filter runs where averaging means something: colour in linear light (sRGB
// decoded, then encoded again), normals as unit vectors renormalised on every
// level, everything else on the stored values. An area whose alpha is 1
// throughout keeps exactly 1, whatever the rounding of its weights.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

enum class MipSpace : uint8_t {
    plain,   // stored values, averaged as they are
    srgb,    // red, green, blue sRGB-encoded (alpha linear)
    normal,  // red, green = 0.5 + 0.5 (x, y); z follows from them
};

// Levels of a full chain down to 1 x 1: floor(log2(max(w, h))) + 1.
uint32_t mip_level_count(uint32_t width, uint32_t height) noexcept;

// Every level starts from the values as the block encoders show them: clamped
// to 0..1, NaN as 0.
//
// The image in the space the filter averages in: linear light for srgb, unit
// vectors (x, y, z) for normal (z = sqrt(1 - x^2 - y^2), 0 where that is
// negative, then the vector renormalised; a zero vector becomes (0, 0, 1)).
// Null when memory runs out.
ImgbufPtr to_filter_space(const imgbuf* img, MipSpace space) noexcept;

// One pixel of stored values in filter space, as to_filter_space makes each;
// rgba is changed in place.
void to_filter_pixel(float rgba[4], MipSpace space) noexcept;

// The next level of an image in filter space (renormalised for normal). With
// stored_level, level holds stored values instead, each pixel taken to filter
// space as it is read: the same level as from to_filter_space's image, without
// that whole copy of a large one.
ImgbufPtr next_mip_level(const imgbuf* level, MipSpace space, bool stored_level = false) noexcept;

// One pixel of filter space back in stored values: srgb encoded, normal as
// 0.5 + 0.5 v. rgba is changed in place.
void from_filter_space(float rgba[4], MipSpace space) noexcept;

}  // namespace rk
