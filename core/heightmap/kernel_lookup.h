// Kernel lookup shared by the height-map blurs.
#pragma once

#include <cstdint>

#include "filter/kernels.h"

namespace rk {

// The cached kernel of that kind for a requested size after the height-map size
// rule; null when the size means no filtering or the kernel cannot be built.
const BlurKernel* heightmap_kernel(KernelKind kind, uint32_t requested) noexcept;

}  // namespace rk
