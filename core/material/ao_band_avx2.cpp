// The occlusion bands built for processors with AVX2, dispatched by ao.cpp.
#include "material/ao_band_body.h"

namespace rk {

void ao_band_avx2(const AoBandJob& job) noexcept {
    band(job);
}

}  // namespace rk
