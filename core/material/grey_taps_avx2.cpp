// The grey blur's lines built for processors with AVX2, picked by
// grey_blur.cpp after a run-time check of the processor.
#include "material/grey_taps.h"
#include "material/grey_taps_body.h"

namespace rk {

void grey_taps_avx2(float* out, const float* const* taps, const float* weight, uint32_t size,
                    float norm, uint32_t n) noexcept {
    grey_taps_body<v8f>(out, taps, weight, size, norm, n);
}

}  // namespace rk
