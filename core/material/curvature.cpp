#include "material/curvature.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "material/grey_blur.h"

namespace rk {
namespace {

constexpr float kGain = 32.0f;
constexpr float kFlat = 1.0f / 65536.0f;
constexpr float kHeightLimit = 65536.0f;

float usable_height(float v) noexcept {
    if (!(v == v)) return 0.0f;
    return std::clamp(v, -kHeightLimit, kHeightLimit);
}

// Continues a line of n values (n >= 2) m places past each end by point
// reflection through the end value, v[-d] = 2 v[0] - v[d], reflecting again
// off the far end where d passes it: a straight line stays that straight line
// however far it is continued. at(i) reads the line, i in -m..n-1+m; put(i, v)
// writes a place past an end. Each place reads only the line and places
// nearer its end, so they are filled outwards.
template <class At, class Put>
void continue_straight(uint32_t n, uint32_t m, At at, Put put) {
    const int64_t last = int64_t{n} - 1;
    for (int64_t d = 1; d <= m; ++d) {
        put(-d, at(0), at(d));
        put(last + d, at(last), at(last - d));
    }
}

// The heights on a plane with a margin of m on every side. Under clamped edges
// the margin continues the surface straight on (continue_straight, along the
// rows and then down the columns), so that a plane of any slope stays that
// plane past the border and blurs to itself: its curvature is 0.5 up to the
// border, where a level continuation would bend it. A clamped map's border
// then measures the bend along the border; across it the surface is taken to
// go on as it goes. Under wrapped edges m is 0.
void fill_heights(const imgbuf* heights, const GreyPlane& plane, uint32_t m) {
    const uint32_t w = heights->width, h = heights->height;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* src = row_unchecked(heights, y);
            float* dst = plane.row(y + m) + m;
            for (uint32_t x = 0; x < w; ++x) dst[x] = usable_height(src[4 * size_t{x}]);
            if (m == 0) continue;
            if (w == 1) {
                std::fill(dst - m, dst + 1 + m, dst[0]);
                continue;
            }
            continue_straight(
                w, m, [dst](int64_t i) { return dst[i]; },
                [dst](int64_t i, float end, float mirror) { dst[i] = 2.0f * end - mirror; });
        }
    });
    if (m == 0) return;
    const size_t cols = size_t{w} + 2 * size_t{m};
    float* first = plane.row(m);
    if (h == 1) {
        for (uint32_t d = 1; d <= m; ++d) {
            std::memcpy(plane.row(m - d), first, cols * sizeof(float));
            std::memcpy(plane.row(m + d), first, cols * sizeof(float));
        }
        return;
    }
    continue_straight(
        h, m, [&](int64_t i) { return plane.row(static_cast<uint32_t>(i + m)); },
        [&](int64_t i, const float* end, const float* mirror) {
            float* out = plane.row(static_cast<uint32_t>(i + m));
            for (size_t x = 0; x < cols; ++x) out[x] = 2.0f * end[x] - mirror[x];
        });
}

ImgbufPtr make_curvature(const imgbuf* heights, const CurvatureSettings& s) {
    const LibraryCall busy;
    const uint32_t w = heights->width, h = heights->height;
    if (w == 0 || h == 0) return make_image(w, h);
    const uint32_t size = material_blur_size(s.scale);
    // Two blurs reach size - 1 pixels: a clamped image's margin holds that
    // much of the straight continuation, and the blurs' own clamp at the
    // margin's edge does not reach the image.
    const uint32_t m = s.edge == EDGE_CLAMP ? size - 1 : 0;
    const uint64_t wide_w = uint64_t{w} + 2 * uint64_t{m}, wide_h = uint64_t{h} + 2 * uint64_t{m};
    if (wide_w > UINT32_MAX || wide_h > UINT32_MAX) return nullptr;
    const auto pw = static_cast<uint32_t>(wide_w), ph = static_cast<uint32_t>(wide_h);
    // The heights blurred once (narrow) and twice (wide), each in one grey
    // plane.
    GreyPlane narrow(pw, ph), wide(pw, ph);
    if (!narrow || !wide) return nullptr;
    fill_heights(heights, narrow, m);
    if (!gaussian_blur_plane(narrow.data(), pw, ph, size, s.edge)) {
        return nullptr;
    }
    std::memcpy(wide.data(), narrow.data(), size_t(pw) * size_t(ph) * sizeof(float));
    if (!gaussian_blur_plane(wide.data(), pw, ph, size, s.edge)) {
        return nullptr;
    }
    const float gain = kGain * s.strength;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* a = narrow.row(y + m) + m;
            float* b = wide.row(y + m) + m;
            for (uint32_t x = 0; x < w; ++x) {
                const float near = a[x];
                const float diff = near - b[x];
                const float flat = kFlat * std::max(1.0f, std::fabs(near));
                const float bend = std::fabs(diff) <= flat ? 0.0f : gain * diff;
                b[x] = 0.5f + 0.5f * (bend / (1.0f + std::fabs(bend)));
            }
        }
    });
    narrow.release();
    return grey_image(wide.row(m) + m, w, h, size_t(pw));
}

}  // namespace

const char* curvature_settings_error(const CurvatureSettings& s) noexcept {
    if (material_blur_size(s.scale) == 0) return "curvature scale out of range";
    if (!(s.strength >= 0.0f && s.strength <= kCurvatureMaxStrength)) {
        return "curvature strength out of range";
    }
    if (s.edge != EDGE_CLAMP && s.edge != EDGE_WRAP) return "unknown edge mode";
    return nullptr;
}

ImgbufPtr curvature_map(const imgbuf* heights, const CurvatureSettings& settings) noexcept {
    if (!has_pixels(heights) || curvature_settings_error(settings)) return nullptr;
    return guarded(ImgbufPtr{}, [&] { return make_curvature(heights, settings); });
}

}  // namespace rk
