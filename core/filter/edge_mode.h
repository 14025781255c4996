// What a filter reads beyond the edge of an image.
#pragma once

#include <cstdint>

namespace rk {

// Clamp repeats the edge pixel; wrap reads across the opposite edge, as if the
// image were tiled in every direction (as many times as a long kernel reaches).
enum EdgeMode : uint32_t { EDGE_CLAMP = 0, EDGE_WRAP = 1 };

}  // namespace rk
