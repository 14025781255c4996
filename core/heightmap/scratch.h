// Whole-image scratch of the de-lit solves: float planes from the block cache,
// uninitialised. A std::vector of w * h floats zeroes them and comes from
// malloc, which maps and faults fresh pages on every call; a block given back
// by the step before (the Fourier grids, the planes of the cavities) is
// reused as it is. Only for planes written before they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "common/block_cache.h"

namespace rk {

class ScratchFloats {
  public:
    // count floats; throws std::bad_alloc when there are none to be had.
    explicit ScratchFloats(size_t count) : block_(checked_bytes(count)) {
        if (!block_) throw std::bad_alloc();
    }
    float* get() const noexcept { return block_.get<float>(); }
    float& operator[](size_t i) const noexcept { return get()[i]; }

  private:
    static size_t checked_bytes(size_t count) {
        if (count > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
        return count * sizeof(float);
    }
    Block block_;
};

}  // namespace rk
