#include "heightmap/albedo.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/thread_pool.h"
#include "filter/spectral.h"
#include "imgbuf/luminance.h"

namespace rk {
namespace {

// Darkest shading divided out: a cast shadow's floor is the sky's light, and
// a deeper division would only lift noise.
constexpr float kLeastShading = 0.1f;
constexpr float kFloor = 1.0f / 255.0f;  // darkest luminance trusted

ImgbufPtr run(const imgbuf* src, const AlbedoSettings& settings, DelitLight* report) {
    const uint32_t w = src->width, h = src->height;
    const size_t pixels = size_t{w} * h;
    std::vector<float> shading(pixels);
    DelitSettings ds;
    ds.wrap = settings.wrap;
    ds.azimuth = settings.azimuth;
    if (!delit_shading(src, ds, shading.data(), report)) return nullptr;
    std::vector<float> lum(pixels);
    for (uint32_t y = 0; y < h; ++y) {
        const float* s = row_unchecked(src, y);
        for (uint32_t x = 0; x < w; ++x) {
            const float* p = s + 4 * size_t{x};
            const size_t i = size_t{y} * w + x;
            shading[i] = std::max(shading[i], kLeastShading);
            const float l =
                0.114f * clamp01(p[2]) + (0.299f * clamp01(p[0]) + 0.587f * clamp01(p[1]));
            lum[i] = std::max(l, kFloor) / shading[i];
        }
    }
    // The slow light: a plane fitted to the de-shaded luminance's logarithm
    // (a lamp's fall-off, a vignette's side, a gradient of the sky) by least
    // squares; any slower change than that is the colour's own.
    if (settings.flatten_light && w > 1 && h > 1) {
        // Coordinates from -1 to 1 on both axes are orthogonal over the
        // grid, so each coefficient is its own projection.
        double su = 0.0, sv = 0.0, suu = 0.0, svv = 0.0;
        for (uint32_t y = 0; y < h; ++y) {
            const double v = 2.0 * y / (h - 1) - 1.0;
            double ru = 0.0, rl = 0.0;
            for (uint32_t x = 0; x < w; ++x) {
                const double u = 2.0 * x / (w - 1) - 1.0;
                const double l = std::log(static_cast<double>(lum[size_t{y} * w + x]));
                ru += u * l;
                rl += l;
            }
            su += ru;
            sv += v * rl;
        }
        for (uint32_t x = 0; x < w; ++x) {
            const double u = 2.0 * x / (w - 1) - 1.0;
            suu += u * u;
        }
        for (uint32_t y = 0; y < h; ++y) {
            const double v = 2.0 * y / (h - 1) - 1.0;
            svv += v * v;
        }
        const double cu = su / (suu * h), cv = sv / (svv * w);
        for (uint32_t y = 0; y < h; ++y) {
            const double v = 2.0 * y / (h - 1) - 1.0;
            for (uint32_t x = 0; x < w; ++x) {
                const double u = 2.0 * x / (w - 1) - 1.0;
                shading[size_t{y} * w + x] *= static_cast<float>(std::exp(cu * u + cv * v));
            }
        }
    }
    ImgbufPtr out = make_image(w, h);
    if (!out) return nullptr;
    double photo_mean = 0.0, out_mean = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        const float* s = row_unchecked(src, y);
        float* o = row_unchecked(out.get(), y);
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = size_t{y} * w + x;
            const float k = 1.0f / shading[i];
            float l = 0.0f;
            for (int c = 0; c < 3; ++c) {
                o[4 * x + c] = clamp01(s[4 * x + c]) * k;
            }
            l = 0.114f * o[4 * x + 2] + (0.299f * o[4 * x] + 0.587f * o[4 * x + 1]);
            out_mean += l;
            photo_mean += 0.114f * clamp01(s[4 * x + 2]) +
                          (0.299f * clamp01(s[4 * x]) + 0.587f * clamp01(s[4 * x + 1]));
            o[4 * x + 3] = s[4 * x + 3];
        }
    }
    const auto scale = static_cast<float>(out_mean > 0.0 ? photo_mean / out_mean : 1.0);
    for (uint32_t y = 0; y < h; ++y) {
        float* o = row_unchecked(out.get(), y);
        for (uint32_t x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) o[4 * x + c] = std::min(1.0f, o[4 * x + c] * scale);
        }
    }
    return out;
}

}  // namespace

ImgbufPtr albedo_map(const imgbuf* src, const AlbedoSettings& settings,
                     DelitLight* light) noexcept {
    if (!has_pixels(src)) return nullptr;
    const LibraryCall busy;
    try {
        return run(src, settings, light);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace rk
