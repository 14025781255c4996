// Calls of calc_heightmap_from_photo with neutral defaults, and image helpers.
#pragma once

#include <cmath>
#include <cstring>
#include <functional>

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

inline Img image_of(uint32_t w, uint32_t h, const std::function<Px(uint32_t, uint32_t)>& f) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) set_px(img.get(), x, y, f(x, y));
    return img;
}

inline bool same_image(const imgbuf* a, const imgbuf* b) {
    return imgbuf_w(a) == imgbuf_w(b) && imgbuf_h(a) == imgbuf_h(b) &&
           std::memcmp(imgbuf_buf(a), imgbuf_buf(b), imgbuf_buf_size(a)) == 0;
}

// Equal bits, or both NaN.
inline bool same_value(float a, float b) {
    return same_bits(a, b) || (std::isnan(a) && std::isnan(b));
}
