// The occlusion bands built for every x86-64 processor (and any other
// target), dispatched by ao.cpp.
#include "material/ao_band_body.h"

namespace rk {

void ao_band_plain(const AoBandJob& job) noexcept {
    band(job);
}

void ao_exact_plain(const AoExactJob& job) noexcept {
    exact_rows(job);
}

}  // namespace rk
