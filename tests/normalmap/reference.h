// A pixel-by-pixel transcription of the normal-map arithmetic, kept plain so the
// library's strip-wise and four-pixels-at-once forms can be checked bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "filter/kernels.h"
#include "image_helpers.h"
#include "filter/kernel_cache.h"

namespace ref {

inline float height(const imgbuf* img, uint32_t x, uint32_t y) {
    return get_px(img, x, y)[0];
}

inline void normal_from_height(imgbuf* out, const imgbuf* hm, float s, float k) {
    for (uint32_t y = 1; y + 1 < imgbuf_h(hm); ++y) {
        for (uint32_t x = 1; x + 1 < imgbuf_w(hm); ++x) {
            const float tl = s * height(hm, x - 1, y - 1), tc = s * height(hm, x, y - 1),
                        tr = s * height(hm, x + 1, y - 1), ml = s * height(hm, x - 1, y),
                        mr = s * height(hm, x + 1, y), bl = s * height(hm, x - 1, y + 1),
                        bc = s * height(hm, x, y + 1), br = s * height(hm, x + 1, y + 1);
            const float gx = ((((k * ml + tl) + bl) - tr) - k * mr) - br;
            const float gy = ((((k * tc + tl) + tr) - bl) - k * bc) - br;
            const float len = std::sqrt((gy * gy + gx * gx) + 0.25f);
            set_px(out, x, y, {gx / len * 0.5f + 0.5f, gy / len * 0.5f + 0.5f, 0.5f / len, 1.0f});
        }
    }
}

inline void fill_flat_border(imgbuf* img) {
    const uint32_t w = imgbuf_w(img), h = imgbuf_h(img);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) set_px(img, x, y, {0.5f, 0.5f, 1, 1});
}

inline void invert(imgbuf* img, bool red, bool green) {
    for (uint32_t y = 0; y < imgbuf_h(img); ++y) {
        for (uint32_t x = 0; x < imgbuf_w(img); ++x) {
            Px p = get_px(img, x, y);
            if (red) p[0] = 1.0f - p[0];
            if (green) p[1] = 1.0f - p[1];
            set_px(img, x, y, p);
        }
    }
}

inline float inverse_length(float s) {
#if defined(__SSE__)
    const float r = _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(s)));
    return (r * 0.5f) * (3.0f - (r * r) * s);
#else
    return 1.0f / std::sqrt(s);
#endif
}

inline Px renormalised(Px p) {
    float n[4];
    for (int c = 0; c < 4; ++c) n[c] = (p[c] - 0.5f) * 2.0f;
    const float r = inverse_length((n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]));
    return {((r * n[0]) * 0.5f) + 0.5f, ((r * n[1]) * 0.5f) + 0.5f, ((r * n[2]) * 0.5f) + 0.5f, 1};
}

inline void renormalise(imgbuf* img) {
    for (uint32_t y = 0; y < imgbuf_h(img); ++y)
        for (uint32_t x = 0; x < imgbuf_w(img); ++x)
            set_px(img, x, y, renormalised(get_px(img, x, y)));
}

// One clamp-to-edge pass along x (dx = 1) or y (dx = 0) from src into dst.
inline void blur_pass(imgbuf* dst, const imgbuf* src, const rk::BlurKernel& k, bool along_x) {
    const int64_t w = imgbuf_w(src), h = imgbuf_h(src), r = (k.size - 1) / 2;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            Px s{0, 0, 0, 0};
            for (int64_t t = 0; t < k.size; ++t) {
                const int64_t sx = along_x ? std::clamp<int64_t>(x - r + t, 0, w - 1) : x;
                const int64_t sy = along_x ? y : std::clamp<int64_t>(y - r + t, 0, h - 1);
                const Px p = get_px(src, sx, sy);
                for (int c = 0; c < 4; ++c) s[c] += k.weights4[t][c] * p[c];
            }
            set_px(dst, x, y, {s[0] * k.norm, s[1] * k.norm, s[2] * k.norm, 1.0f});
        }
    }
}

// The whole operation with the argument mapping written out anew.
inline Img normal_map(const imgbuf* hm, int32_t inv_x, int32_t inv_y, uint32_t strength,
                      uint32_t centre, uint32_t blur_size, uint32_t blur_kind) {
    const uint32_t w = imgbuf_w(hm), h = imgbuf_h(hm);
    Img out = make_img(w, h);
    const float s = static_cast<float>(std::min(std::max(strength, 1u), 10u));
    const float k = (static_cast<float>(centre) * 2.0f + 16.0f) / 9.0f;
    normal_from_height(out.get(), hm, s, k);
    fill_flat_border(out.get());
    invert(out.get(), inv_x != 0, inv_y != 0);
    uint32_t z = blur_size % 2 == 0 && blur_size != 0 ? blur_size - 1 : blur_size;
    if (z < 3) return out;
    z = std::min(z, 253u);
    const rk::KernelKind kind = blur_kind == 1   ? rk::KERNEL_BOX
                                : blur_kind == 2 ? rk::KERNEL_TENT
                                                 : rk::KERNEL_GAUSSIAN;
    const rk::BlurKernel& kernel = *rk::kernel_cache_get(kind, z);
    Img tmp = make_img(w, h);
    blur_pass(tmp.get(), out.get(), kernel, true);
    blur_pass(out.get(), tmp.get(), kernel, false);
    renormalise(out.get());
    return out;
}

inline Img random_image(uint32_t w, uint32_t h, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            set_px(img.get(), x, y, {value(gen), value(gen), value(gen), value(gen)});
    return img;
}

inline bool identical(const imgbuf* a, const imgbuf* b) {
    return imgbuf_w(a) == imgbuf_w(b) && imgbuf_h(a) == imgbuf_h(b) &&
           std::memcmp(imgbuf_buf(a), imgbuf_buf(b), imgbuf_buf_size(a)) == 0;
}

}  // namespace ref
