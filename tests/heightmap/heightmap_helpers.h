// Calls of calc_heightmap_from_photo with neutral defaults.
#pragma once

#include "image_helpers.h"

struct Params {
    uint32_t mode = 0, flags = 0;
    float midpoint = 0.5f, low = 0.0f, high = 1.0f;
    uint32_t detail_size = 0;
    float threshold = 0.0f, w1 = 1.0f, w2 = 1.0f, w3 = 1.0f;
    uint32_t smooth_size = 0, smooth_kind = 0;
};

inline Img heightmap(const imgbuf* src, const Params& p) {
    return Img(calc_heightmap_from_photo(src, p.mode, p.flags, p.midpoint, p.low, p.high,
                                         p.detail_size, p.threshold, p.w1, p.w2, p.w3,
                                         p.smooth_size, p.smooth_kind));
}
