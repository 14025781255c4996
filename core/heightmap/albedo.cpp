#include "heightmap/albedo.h"

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "common/thread_pool.h"
#include "filter/spectral.h"
#include "heightmap/cavities.h"
#include "heightmap/scratch.h"
#include "imgbuf/luminance.h"

namespace rk {
namespace {

// Darkest shading divided out: a cast shadow's floor is the sky's light, and
// a deeper division would only lift noise.
constexpr float kLeastShading = 0.1f;
constexpr float kFloor = 1.0f / 255.0f;  // darkest luminance trusted

// Rows of a band of the per-pixel loops.
constexpr uint32_t kMinRows = 16;

float luminance_of(const float* p) {
    return 0.114f * clamp01(p[2]) + (0.299f * clamp01(p[0]) + 0.587f * clamp01(p[1]));
}

// Sums over the image are taken per row, in the row's order, and the rows'
// sums added in row order: the same bits whichever thread ran a row.
double sum_rows(const std::vector<double>& rows) {
    double sum = 0.0;
    for (double r : rows) sum += r;
    return sum;
}

// out has src's size and is src itself (in_place) or shares no pixel with it.
// In place it is written only by the last pass, each pixel after it is read
// there, and nothing can fail once that pass begins.
bool run(const imgbuf* src, const AlbedoSettings& settings, DelitLight* report,
         float* given_shading, imgbuf* out, bool in_place, float* lent) {
    const uint32_t w = src->width, h = src->height;
    const size_t pixels = size_t{w} * h;
    // A new result's pixels, four planes' worth, hold the de-shaded
    // luminance, the cavities' scratch and the shading until the colour is
    // written over them: no fresh memory for any of them (the cavities'
    // closing takes the block the solve's grid gave back). The photograph's
    // own pixels are read to the end, so in place they come from scratch,
    // or from the planes the caller lends.
    // delit_shading and cavity_shading write every pixel of their planes.
    const bool planes_in_out = !lent && !in_place && rows_packed(out);
    std::optional<ScratchFloats> own;
    if (!planes_in_out && !lent) own.emplace((given_shading ? 2 : 3) * pixels);
    float* const planes = lent ? lent : planes_in_out ? out->pixels : own->get();
    float* const lum = planes;
    float* const spare = planes + pixels;
    // A shading the caller made is worked on where it lies.
    float* const shading = given_shading ? given_shading : planes + 2 * pixels;
    DelitSettings ds;
    ds.wrap = settings.wrap;
    ds.azimuth = settings.azimuth;
    ds.radius = settings.scale;
    if (!given_shading && !delit_shading(src, ds, shading, report)) return false;
    std::vector<double> photo_rows(h);
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* s = row_unchecked(src, y);
            double photo = 0.0;
            for (uint32_t x = 0; x < w; ++x) {
                const size_t i = size_t{y} * w + x;
                shading[i] = std::max(shading[i], kLeastShading);
                const float l = luminance_of(s + 4 * size_t{x});
                photo += l;
                lum[i] = std::max(l, kFloor) / shading[i];
            }
            photo_rows[y] = photo;
        }
    });
    if (settings.lift_cavities) {
        // The cavities' factor takes the luminance's place; the luminance is
        // made again from the photograph, as it was.
        if (!cavity_shading(lum, w, h, settings.wrap, settings.scale, lum, spare)) return false;
        parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) {
                const float* p = row_unchecked(src, y);
                for (uint32_t x = 0; x < w; ++x) {
                    const size_t i = size_t{y} * w + x;
                    const float was = shading[i];
                    const float s = std::max(was * lum[i], kLeastShading);
                    lum[i] = (std::max(luminance_of(p + 4 * size_t{x}), kFloor) / was) * (was / s);
                    shading[i] = s;
                }
            }
        });
    }
    // The slow light: a plane fitted to the de-shaded luminance's logarithm
    // (a lamp's fall-off, a vignette's side, a gradient of the sky) by least
    // squares; any slower change than that is the colour's own. fall[x] and
    // rise[y] are its two factors (1 without it): exp(cu u + cv v) is
    // exp(cu u) exp(cv v). A plane does not tile: taken out of a periodic
    // photograph it would leave a step where one copy meets the next, and
    // what it fits there is the colour's own change, not a lamp's.
    std::vector<double> fall(w, 1.0), rise(h, 1.0);
    if (settings.flatten_light && !settings.wrap && (w > 1 || h > 1)) {
        // Coordinates from -1 to 1 on both axes are orthogonal over the
        // grid, so each coefficient is its own projection. A side of one
        // pixel has no slope to fit: a strip's light falls along its length.
        const auto coord = [](uint32_t i, uint32_t n) {
            return n > 1 ? 2.0 * i / (n - 1) - 1.0 : 0.0;
        };
        std::vector<double> u_rows(h), l_rows(h), u_of(w);
        for (uint32_t x = 0; x < w; ++x) u_of[x] = coord(x, w);
        parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) {
                double ru = 0.0, rl = 0.0;
                for (uint32_t x = 0; x < w; ++x) {
                    const double u = u_of[x];
                    const double l = std::log(static_cast<double>(lum[size_t{y} * w + x]));
                    ru += u * l;
                    rl += l;
                }
                u_rows[y] = ru;
                l_rows[y] = rl;
            }
        });
        double su = 0.0, sv = 0.0, suu = 0.0, svv = 0.0;
        for (uint32_t y = 0; y < h; ++y) {
            const double v = coord(y, h);
            su += u_rows[y];
            sv += v * l_rows[y];
        }
        for (uint32_t x = 0; x < w; ++x) suu += u_of[x] * u_of[x];
        for (uint32_t y = 0; y < h; ++y) {
            const double v = coord(y, h);
            svv += v * v;
        }
        double cu = w > 1 ? su / (suu * h) : 0.0, cv = h > 1 ? sv / (svv * w) : 0.0;
        const double tilt = std::hypot(cu, cv);
        const double taken = tilt > kKeptTilt ? 1.0 - kKeptTilt / tilt : 0.0;
        cu *= taken;
        cv *= taken;
        for (uint32_t x = 0; x < w; ++x) fall[x] = std::exp(cu * u_of[x]);
        for (uint32_t y = 0; y < h; ++y) rise[y] = std::exp(cv * coord(y, h));
    }
    // The whole shading of each pixel, and the de-lit luminance's sum (for
    // the scale that keeps the photograph's mean) before any pixel is written,
    // so that the colour is written once. The factors leave the result's
    // pixels (the colour would overwrite them before they are read) for the
    // block the cavities' closing gave back, or take the place of the
    // caller's shading, each where its pixel's shading was, or the
    // cavities' spare plane in scratch of the call's own.
    std::vector<double> out_rows(h);
    std::optional<ScratchFloats> own_factors;
    float* const factors = given_shading   ? given_shading
                           : planes_in_out ? own_factors.emplace(pixels).get()
                                           : spare;
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* s = row_unchecked(src, y);
            const float* l = shading + size_t{y} * w;
            float* k = factors + size_t{y} * w;
            double out = 0.0;
            for (uint32_t x = 0; x < w; ++x) {
                k[x] = 1.0f / (l[x] * static_cast<float>(fall[x] * rise[y]));
                const float* p = s + 4 * size_t{x};
                out += 0.114f * (clamp01(p[2]) * k[x]) +
                       (0.299f * (clamp01(p[0]) * k[x]) + 0.587f * (clamp01(p[1]) * k[x]));
            }
            out_rows[y] = out;
        }
    });
    const double photo_mean = sum_rows(photo_rows), out_mean = sum_rows(out_rows);
    const auto scale = static_cast<float>(out_mean > 0.0 ? photo_mean / out_mean : 1.0);
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* s = row_unchecked(src, y);
            const float* k = factors + size_t{y} * w;
            float* o = row_unchecked(out, y);
            for (uint32_t x = 0; x < w; ++x) {
                for (int c = 0; c < 3; ++c) {
                    o[4 * x + c] = std::min(1.0f, (clamp01(s[4 * x + c]) * k[x]) * scale);
                }
                o[4 * x + 3] = s[4 * x + 3];
            }
        }
    });
    return true;
}

}  // namespace

ImgbufPtr albedo_map(const imgbuf* src, const AlbedoSettings& settings, DelitLight* light,
                     float* shading) noexcept {
    if (!has_pixels(src)) return nullptr;
    const LibraryCall busy;
    try {
        ImgbufPtr out = make_image(src->width, src->height);
        if (!out || !run(src, settings, light, shading, out.get(), false, nullptr)) return nullptr;
        return out;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool albedo_into(const imgbuf* src, const AlbedoSettings& settings, imgbuf* out,
                 DelitLight* light, float* shading, float* lent) noexcept {
    if (!has_pixels(src)) return false;
    const LibraryCall busy;
    try {
        return run(src, settings, light, shading, out, out->pixels == src->pixels, lent);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace rk
