#include "material/roughness.h"

#include <cmath>

#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "imgbuf/luminance.h"
#include "material/grey_blur.h"

namespace rk {
namespace {

constexpr uint32_t kDetailBlur = 5;
constexpr float kFullyRough = 0.08f;

// Runs f(y) for every row y of an image of h rows, in parallel.
template <class F>
void each_row(uint32_t h, F&& f) noexcept {
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) f(y);
    });
}

ImgbufPtr make_roughness(const imgbuf* photo, const RoughnessSettings& s) {
    const LibraryCall busy;
    const uint32_t w = photo->width, h = photo->height;
    if (w == 0 || h == 0) return make_image(w, h);
    // The luminance's local mean, and its local mean absolute deviation from
    // it (the fine detail), each in one grey plane.
    GreyPlane mean(w, h), detail(w, h);
    if (!mean || !detail) return nullptr;
    each_row(h, [&](uint32_t y) noexcept {
        const float* px = row_unchecked(photo, y);
        float* m = mean.row(y);
        float* d = detail.row(y);
        for (uint32_t x = 0; x < w; ++x) {
            const float* p = px + 4 * size_t{x};
            const float r = clamp01(p[0]), g = clamp01(p[1]), b = clamp01(p[2]);
            m[x] = d[x] = 0.114f * b + (0.299f * r + 0.587f * g);
        }
    });
    if (!gaussian_blur_plane(mean.data(), w, h, kDetailBlur, s.edge)) return nullptr;
    each_row(h, [&](uint32_t y) noexcept {
        const float* m = mean.row(y);
        float* d = detail.row(y);
        for (uint32_t x = 0; x < w; ++x) d[x] = std::fabs(d[x] - m[x]);
    });
    if (!gaussian_blur_plane(detail.data(), w, h, kDetailBlur, s.edge)) return nullptr;
    each_row(h, [&](uint32_t y) noexcept {
        const float* m = mean.row(y);
        float* d = detail.row(y);
        for (uint32_t x = 0; x < w; ++x) {
            // At most 1 (NaN: 1); d, a blur of absolute values, is never
            // below 0, so the unit clamp is that minimum without a call.
            const float fine = clamp01(d[x] / kFullyRough);
            const float base = (fine + (1.0f - m[x])) * 0.5f;
            d[x] = clamp01((base - 0.5f) * s.contrast + 0.5f + s.bias);
        }
    });
    mean.release();
    return grey_image(detail.data(), w, h);
}

}  // namespace

const char* roughness_settings_error(const RoughnessSettings& s) noexcept {
    if (!(s.contrast >= 0.0f && s.contrast <= kRoughnessMaxContrast)) {
        return "roughness contrast out of range";
    }
    if (!(s.bias >= -1.0f && s.bias <= 1.0f)) return "roughness bias out of range";
    if (s.edge != EDGE_CLAMP && s.edge != EDGE_WRAP) return "unknown edge mode";
    return nullptr;
}

ImgbufPtr roughness_map(const imgbuf* photo, const RoughnessSettings& settings) noexcept {
    if (!has_pixels(photo) || roughness_settings_error(settings)) return nullptr;
    return guarded(ImgbufPtr{}, [&] { return make_roughness(photo, settings); });
}

}  // namespace rk
