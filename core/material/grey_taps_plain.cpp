// The grey blur's lines built for every x86-64 processor (and any other
// target), picked by grey_blur.cpp.
#include "material/grey_taps.h"
#include "material/grey_taps_body.h"

namespace rk {

void grey_taps_plain(float* out, const float* const* taps, const float* weight, uint32_t size,
                     float norm, uint32_t n) noexcept {
    grey_taps_body<v4f>(out, taps, weight, size, norm, n);
}

}  // namespace rk
