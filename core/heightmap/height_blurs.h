// The two blurs of the height map and the kernel lookup they share. Both blurs
// work in place, leave the image as it was (and return false) when a kernel or
// temporary image cannot be had, and do nothing to an empty image.
#pragma once

#include <cstdint>
#include <optional>

#include "filter/edge_mode.h"
#include "filter/kernels.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// The cached kernel of that kind for a requested size after the height-map size
// rule; null when the size means no filtering or the kernel cannot be built.
const BlurKernel* heightmap_kernel(KernelKind kind, uint32_t requested) noexcept;

// The kernel size for a requested one: nothing for 2 or less (no filtering),
// 99 above 100, an even size lowered by one.
std::optional<uint32_t> heightmap_kernel_size(uint32_t requested) noexcept;

// Blurs with a Gaussian of the requested size, separably, exactly the pixels
// whose edge strength (|Sobel x| + |Sobel y|) / 2 of red is strictly below
// threshold; the others keep their pixels, alpha included. The edge mode rules
// both the edge strength and the blur.
bool detail_filter(imgbuf* img, uint32_t requested_size, float threshold,
                   EdgeMode edge = EDGE_CLAMP) noexcept;

// Blurs the whole image with the kernel of that kind, rows then columns.
bool final_smoothing(imgbuf* img, uint32_t requested_size, KernelKind kind,
                     EdgeMode edge = EDGE_CLAMP) noexcept;

}  // namespace rk
