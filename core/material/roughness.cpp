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

void set_grey(float* px, float v) noexcept {
    px[0] = px[1] = px[2] = v;
    px[3] = 1.0f;
}

template <class F>
void each_pixel(uint32_t w, uint32_t h, F&& f) noexcept {
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y)
            for (uint32_t x = 0; x < w; ++x) f(y, 4 * size_t{x});
    });
}

ImgbufPtr make_roughness(const imgbuf* photo, const RoughnessSettings& s) {
    const LibraryCall busy;
    const uint32_t w = photo->width, h = photo->height;
    ImgbufPtr grey = make_image(w, h);
    if (!grey || w == 0 || h == 0) return grey;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y)
            luminance_row<false, false, false>(row_unchecked(grey.get(), y),
                                               row_unchecked(photo, y), w);
    });
    ImgbufPtr mean = copy_of(grey.get());
    if (!mean || !gaussian_blur(mean.get(), kDetailBlur, s.edge)) return nullptr;
    each_pixel(w, h, [&](uint32_t y, size_t i) noexcept {
        float* g = row_unchecked(grey.get(), y) + i;
        set_grey(g, std::fabs(g[0] - row_unchecked(mean.get(), y)[i]));
    });
    if (!gaussian_blur(grey.get(), kDetailBlur, s.edge)) return nullptr;
    each_pixel(w, h, [&](uint32_t y, size_t i) noexcept {
        float* g = row_unchecked(grey.get(), y) + i;
        const float detail = std::fmin(g[0] / kFullyRough, 1.0f);
        const float base = (detail + (1.0f - row_unchecked(mean.get(), y)[i])) * 0.5f;
        set_grey(g, clamp01((base - 0.5f) * s.contrast + 0.5f + s.bias));
    });
    return grey;
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
