// The occlusion squares built for every x86-64 processor (and any other
// target), dispatched by ao.cpp.
#include "material/ao_tile_body.h"

namespace rk {

void ao_tile_plain(const AoTileJob& job) noexcept {
    square_set(job);
}

}  // namespace rk
