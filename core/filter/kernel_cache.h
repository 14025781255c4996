// Process-wide caches of blur kernels, one per kind, indexed by kernel size.
#pragma once

#include <cstdint>

#include "filter/kernels.h"

namespace rk {

// The kernel of that kind and (already normalised, odd, 3..254) size; built on
// first use and kept until cleanup(). Builds the caches when init() has not run.
// Safe under concurrent first use: building takes a lock, a lookup does not.
// Throws std::bad_alloc when memory runs out; null for a size without a slot.
const BlurKernel* kernel_cache_get(KernelKind kind, uint32_t size);

// Test hook: the kernel in a slot, or null while none is built (no building).
const BlurKernel* kernel_cache_peek(KernelKind kind, uint32_t size) noexcept;

}  // namespace rk
