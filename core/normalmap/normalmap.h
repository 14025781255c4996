// The normal-map pipeline behind both interfaces: calc_normalmap_from_heightmap(_ex)
// make a new image, rk_normal_map (rk_normal_map.cpp) also writes into a
// caller's image.
#pragma once

#include <cstdint>

#include "filter/edge_mode.h"
#include "filter/kernels.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// Every choice of the pipeline, checked by its caller.
struct NormalRecipe {
    float strength;
    float centre_weight;
    bool invert_x;
    bool invert_y;
    KernelKind kind;
    uint32_t blur_size;  // odd, 3..253, or 0 for no blur
    EdgeMode edge;
};

// The blur size for a requested one: an even size lowered by one, below 3 none
// (0), above 253 (the largest kernel) 253.
uint32_t normal_blur_size(uint32_t blur_size) noexcept;

// Writes the normal map of heights (red channel) into normals, which has its
// size and pixels apart from its pixels. False when the blur's kernel or
// scratch memory could not be had (normals then holds no finished map); may
// throw std::bad_alloc from a kernel build.
bool normals_into(imgbuf* normals, const imgbuf* heights, const NormalRecipe& recipe);

}  // namespace rk
