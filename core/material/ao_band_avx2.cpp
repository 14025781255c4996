// The occlusion bands built for processors with AVX2, dispatched by ao.cpp.
#include "material/ao_band_body.h"

namespace rk {

void ao_band_avx2(const AoBandJob& job) noexcept {
    band(job);
}

void ao_exact_avx2(const AoExactJob& job) noexcept {
    exact_rows(job);
}

}  // namespace rk
