#include <cmath>

#include "common/export_boundary.h"
#include "imgbuf/imgbuf.h"
#include "imgbuf/luminance.h"
#include "imgbuf/pixel_convert.h"

using namespace rk;

namespace {

// The unclamped luminance sum in its fixed grouping: (0.299 R + 0.587 G) + (0.114 B + 0 A).
// Alpha has no part in it: an infinite or NaN alpha (0 * inf is NaN) counts as 0.
inline float luminance(const float* p) noexcept {
    const float alpha = std::isfinite(p[3]) ? p[3] : 0.0f;
    return (0.299f * p[0] + 0.587f * p[1]) + (0.114f * p[2] + 0.0f * alpha);
}

inline void store_grey(float* p, float l) noexcept {
    p[0] = l;
    p[1] = l;
    p[2] = l;
    p[3] = 1.0f;
}

}  // namespace

extern "C" {

RK_API void imgbuf_set_channel(imgbuf* img, uint32_t channel, float value) noexcept {
    if (channel > 3 || !has_pixels(img)) return;
    for (uint32_t y = 0; y < img->height; ++y) {
        float* row = row_unchecked(img, y) + channel;
        for (uint32_t x = 0; x < img->width; ++x) row[4 * x] = value;
    }
}

// On clamped channels the alpha term adds +0 and so drops out: this is the height
// map's luminance without inversion, and the two share the code.
RK_API void calc_luminance_inplace(imgbuf* img) noexcept {
    if (!has_pixels(img)) return;
    for (uint32_t y = 0; y < img->height; ++y) {
        float* row = row_unchecked(img, y);
        luminance_row<false, false, false>(row, row, img->width);
    }
}

RK_API imgbuf* calc_luminance(const imgbuf* src) noexcept {
    if (!has_pixels(src)) return nullptr;
    ImgbufPtr dst = make_image(src->width, src->height);
    if (!dst) return nullptr;
    for (uint32_t y = 0; y < src->height; ++y) {
        const float* s = row_unchecked(src, y);
        float* d = row_unchecked(dst.get(), y);
        for (uint32_t x = 0; x < src->width; ++x, s += 4, d += 4) store_grey(d, luminance(s));
    }
    return dst.release();
}

RK_API void imgbuf_convertline_b8g8r8x8(uint8_t* dst, const imgbuf* src, uint32_t y) noexcept {
    if (!dst || !has_pixels(src) || y >= src->height) return;
    const float* p = row_unchecked(src, y);
    for (uint32_t x = 0; x < src->width; ++x, p += 4, dst += 4) {
        dst[0] = float_to_byte(p[2]);
        dst[1] = float_to_byte(p[1]);
        dst[2] = float_to_byte(p[0]);
        dst[3] = 255;
    }
}

}  // extern "C"
