// Small helpers shared by the tests: owning images and pixel access.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <memory>

#include "reliefkit.h"

struct ImgDeleter {
    void operator()(imgbuf* p) const { delete_imgbuf(p); }
};
using Img = std::unique_ptr<imgbuf, ImgDeleter>;

using Px = std::array<float, 4>;

// What f() gives with the library's thread count set to n (the default after).
template <class F>
auto on_threads(uint32_t n, const F& f) {
    set_thread_count(n);
    auto result = f();
    set_thread_count(0);
    return result;
}

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

inline Img image_of(uint32_t w, uint32_t h, const std::function<Px(uint32_t, uint32_t)>& f) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) set_px(img.get(), x, y, f(x, y));
    return img;
}

inline Img filled(uint32_t w, uint32_t h, Px p) {
    return image_of(w, h, [p](uint32_t, uint32_t) { return p; });
}

// Same size and the same bits in every pixel.
inline bool same_image(const imgbuf* a, const imgbuf* b) {
    return imgbuf_w(a) == imgbuf_w(b) && imgbuf_h(a) == imgbuf_h(b) &&
           std::memcmp(imgbuf_buf(a), imgbuf_buf(b), imgbuf_buf_size(a)) == 0;
}

// Bit-exact comparison that treats equal NaN patterns as equal.
inline bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Pixels from a fixed generator (the same on every platform), all in [0, 1).
inline Img noise(uint32_t w, uint32_t h, uint32_t seed) {
    Img img = make_img(w, h);
    uint32_t s = seed * 2654435761u + 1;
    for (uint32_t y = 0; y < h; ++y) {
        float* p = imgbuf_row(img.get(), y);
        for (uint32_t i = 0; i < 4 * w; ++i) {
            s = s * 1664525u + 1013904223u;
            p[i] = static_cast<float>(s >> 8) / 16777216.0f;
        }
    }
    return img;
}

// A fingerprint of the size and of every bit of every pixel: results are
// bit-identical across builds, so a table of fingerprints pins them.
inline uint64_t fingerprint(const imgbuf* img) {
    uint64_t h = 14695981039346656037u;
    auto mix = [&h](uint32_t v) {
        for (int i = 0; i < 4; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 1099511628211u;
    };
    mix(imgbuf_w(img));
    mix(imgbuf_h(img));
    for (uint32_t y = 0; y < imgbuf_h(img); ++y) {
        const float* p = imgbuf_row(img, y);
        for (uint32_t i = 0; i < 4 * imgbuf_w(img); ++i) {
            uint32_t v;
            std::memcpy(&v, p + i, sizeof v);
            mix(v);
        }
    }
    return h;
}
