// What the curvature and roughness maps share: grey images blurred with the
// library's Gaussian kernels under either edge mode.
#pragma once

#include <cstdint>

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// The largest Gaussian the material maps use: the kernel caches hold odd sizes
// up to 253.
inline constexpr uint32_t kMaterialMaxBlur = 253;

// The odd kernel size for a requested one (an even size lowered by one), or 0
// when it is below 3 or above kMaterialMaxBlur.
uint32_t material_blur_size(uint32_t requested) noexcept;

// Blurs img in place with the Gaussian of that odd size. Wrapping reads across
// the opposite edge (the centre of the clamped blur of the image tiled as
// often as the kernel reaches). False, with img untouched, when the kernel or
// a temporary cannot be had.
bool gaussian_blur(imgbuf* img, uint32_t size, EdgeMode edge) noexcept;

// A copy of img, or null when memory runs out.
ImgbufPtr copy_of(const imgbuf* img) noexcept;

}  // namespace rk
