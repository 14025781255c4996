#include "heightmap/levels.h"

namespace rk {
namespace {

// Calls op(pixel) on every pixel, rows top to bottom, left to right.
template <class Op>
void for_each_pixel(imgbuf* img, Op op) noexcept {
    if (!has_pixels(img)) return;
    for (uint32_t y = 0; y < img->height; ++y) {
        float* p = row_unchecked(img, y);
        for (uint32_t x = 0; x < img->width; ++x, p += 4) op(p);
    }
}

inline void grey(float* p, float v) noexcept {
    p[0] = v;
    p[1] = v;
    p[2] = v;
}

inline float limit_to_unit(float v) noexcept {
    const float at_most_one = v > 1.0f ? 1.0f : v;
    return at_most_one < 0.0f ? 0.0f : at_most_one;
}

}  // namespace

void level_shift(imgbuf* img, float lo) noexcept {
    for_each_pixel(img, [lo](float* p) {
        p[0] -= lo;
        p[1] -= lo;
        p[2] -= lo;
    });
}

// The running extremes start at 100 (minimum) and 0 (maximum) and a NaN never
// replaces them, so an image of reds all above 100 gives lo = hi = 1 and no
// shift. Only red decides.
void auto_levels(imgbuf* img) noexcept {
    float lowest = 100.0f;
    float highest = 0.0f;
    for_each_pixel(img, [&](float* p) {
        lowest = p[0] < lowest ? p[0] : lowest;
        highest = p[0] > highest ? p[0] : highest;
    });
    const float lo = limit_to_unit(lowest);
    const float hi = limit_to_unit(highest);
    if (lo < hi - 0.0001f || lo > hi + 0.0001f) level_shift(img, lo);
}

void midpoint_curve(imgbuf* img, float m) noexcept {
    if (near_zero(m) || (m >= 1.0f - kFloatEpsilon && m <= 1.0f + kFloatEpsilon)) return;
    const float below = 0.5f / m;
    const float above = -0.5f / (m - 1.0f);
    const float offset = 1.0f - above;
    for_each_pixel(img, [=](float* p) {
        const float x = p[0];
        grey(p, m > x ? x * below : x * above + offset);  // NaN takes the upper segment
    });
}

void clamp_step(imgbuf* img, float low, float high) noexcept {
    for_each_pixel(img, [=](float* p) {
        const float v = p[0] < high ? p[0] : high;
        grey(p, low > v ? low : v);
        p[3] = 1.0f;
    });
}

void black_fill(imgbuf* img) noexcept {
    for_each_pixel(img, [](float* p) {
        grey(p, 0.0f);
        p[3] = 1.0f;
    });
}

}  // namespace rk
