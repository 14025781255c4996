#include "heightmap/levels.h"

#include <memory>
#include <new>

#include "common/thread_pool.h"

namespace rk {
namespace {

// Rows per band of the level steps: a band's work outweighs handing it to a
// thread.
constexpr uint32_t kLevelRows = 32;

// Calls op(pixel) on every pixel of rows [y0, y1), left to right.
template <class Op>
void for_each_pixel_in(imgbuf* img, uint32_t y0, uint32_t y1, Op& op) noexcept {
    for (uint32_t y = y0; y < y1; ++y) {
        float* p = row_unchecked(img, y);
        for (uint32_t x = 0; x < img->width; ++x, p += 4) op(p);
    }
}

// Calls op(pixel) on every pixel, bands of rows in parallel: op must depend on
// its own pixel alone.
template <class Op>
void for_each_pixel(imgbuf* img, Op op) noexcept {
    if (!has_pixels(img)) return;
    parallel_rows(img->height, kLevelRows,
                  [&](uint32_t y0, uint32_t y1) noexcept { for_each_pixel_in(img, y0, y1, op); });
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
    if (!has_pixels(img)) return;
    // Each band keeps its first lowest and highest red; taken in band order,
    // the bands' extremes give the whole image's, the same for any cut (an
    // equal value, such as -0 after 0, never replaces the one found first).
    struct Extremes {
        float lowest = 100.0f;
        float highest = 0.0f;
        void operator()(float v) noexcept {
            lowest = v < lowest ? v : lowest;
            highest = v > highest ? v : highest;
        }
    };
    uint32_t count = row_bands(img->height, kLevelRows);
    std::unique_ptr<Extremes[]> many(new (std::nothrow) Extremes[count]);
    Extremes one;
    Extremes* bands = many ? many.get() : &one;
    if (!many) count = 1;
    parallel_bands(img->height, count, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        auto take = [&](float* p) { bands[b](p[0]); };
        for_each_pixel_in(img, y0, y1, take);
    });
    Extremes all;
    for (uint32_t b = 0; b < count; ++b) {
        all.lowest = bands[b].lowest < all.lowest ? bands[b].lowest : all.lowest;
        all.highest = bands[b].highest > all.highest ? bands[b].highest : all.highest;
    }
    const float lowest = all.lowest;
    const float highest = all.highest;
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
