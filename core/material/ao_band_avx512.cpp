// The occlusion bands built for processors with AVX-512, sixteen pixels to a
// vector, dispatched by ao.cpp. Every lane does what it does in the other
// builds, so the bits are the same.
#define RK_AO_WIDTH 16
#include "material/ao_band_body.h"

namespace rk {

void ao_band_avx512(const AoBandJob& job) noexcept {
    band(job);
}

void ao_exact_avx512(const AoExactJob& job) noexcept {
    exact_rows(job);
}

}  // namespace rk
