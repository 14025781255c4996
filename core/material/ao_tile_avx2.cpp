// The occlusion squares built for processors with AVX2, dispatched by ao.cpp.
#include "material/ao_tile_body.h"

namespace rk {

void ao_tile_avx2(const AoTileJob& job) noexcept {
    square_set(job);
}

}  // namespace rk
