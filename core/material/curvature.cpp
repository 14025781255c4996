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

ImgbufPtr make_curvature(const imgbuf* heights, const CurvatureSettings& s) {
    const LibraryCall busy;
    const uint32_t w = heights->width, h = heights->height;
    if (w == 0 || h == 0) return make_image(w, h);
    // The heights blurred once (narrow) and twice (wide), each in one grey
    // plane.
    GreyPlane narrow(w, h), wide(w, h);
    if (!narrow || !wide) return nullptr;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* src = row_unchecked(heights, y);
            float* dst = narrow.row(y);
            for (uint32_t x = 0; x < w; ++x) dst[x] = usable_height(src[4 * size_t{x}]);
        }
    });
    const uint32_t size = material_blur_size(s.scale);
    if (!gaussian_blur_plane(narrow.data(), w, h, size, s.edge)) return nullptr;
    std::memcpy(wide.data(), narrow.data(), size_t{w} * h * sizeof(float));
    if (!gaussian_blur_plane(wide.data(), w, h, size, s.edge)) return nullptr;
    const float gain = kGain * s.strength;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* a = narrow.row(y);
            float* b = wide.row(y);
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
    return grey_image(wide.data(), w, h);
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
