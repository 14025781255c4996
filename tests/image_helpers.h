// Small helpers shared by the tests: owning images and pixel access.
#pragma once

#include <array>
#include <cstring>
#include <memory>

#include "reliefkit.h"

struct ImgDeleter {
    void operator()(imgbuf* p) const { delete_imgbuf(p); }
};
using Img = std::unique_ptr<imgbuf, ImgDeleter>;

using Px = std::array<float, 4>;

inline Img make_img(uint32_t w, uint32_t h) {
    return Img(create_imgbuf(w, h));
}

inline Px get_px(const imgbuf* img, uint32_t x, uint32_t y) {
    Px p;
    std::memcpy(p.data(), imgbuf_row(img, y) + 4 * x, sizeof p);
    return p;
}

inline void set_px(imgbuf* img, uint32_t x, uint32_t y, Px p) {
    std::memcpy(imgbuf_row(img, y) + 4 * x, p.data(), sizeof p);
}

inline Img filled(uint32_t w, uint32_t h, Px p) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) set_px(img.get(), x, y, p);
    return img;
}

// Bit-exact comparison that treats equal NaN patterns as equal.
inline bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
