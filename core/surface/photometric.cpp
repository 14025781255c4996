#include "surface/photometric.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <new>

#include "common/thread_pool.h"
#include "filter/spectral.h"
#include "imgbuf/luminance.h"
#include "surface/integrate_normals.h"
#include "surface/light_search.h"

namespace rk {
namespace {

using Mask = uint32_t;

// The ambient share taken when the photographs cannot tell it: with fewer
// than four lights no reading is spare to show a shadow, and lights at one
// elevation cannot tell the even light from the part of the lamp's that
// every facing pixel gets. A room lit by a torch at night gives about this.
constexpr float kDefaultAmbient = 0.2f;
// A pixel whose albedo comes out below this share of the photographs' mean is
// too dark to say which way it faces: it is taken as flat.
constexpr float kDarkest = 1e-3f;
// Pixels whose dropped light gives the ambient share before it is trusted.
constexpr size_t kLeastShadowPixels = 64;

struct Vec3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;
};

float dot(const Vec3& a, const LightVector& l) noexcept {
    return (a.x * l.x + a.y * l.y) + a.z * l.z;
}

// The least-squares inverse of the lights in a mask: b = sum m[i] * I[i]
// solves I[i] = b . l[i] best; v = sum m[i].
struct Inverse {
    std::array<Vec3, kMostPhotographs> m{};
    Vec3 v;
    bool ok = false;
};

Inverse invert(const LightVector* l, uint32_t n, Mask mask) noexcept {
    double a[3][3] = {};
    for (uint32_t i = 0; i < n; ++i) {
        if (!(mask >> i & 1u)) continue;
        const double c[3] = {l[i].x, l[i].y, l[i].z};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) a[r][k] += c[r] * c[k];
        }
    }
    Inverse inv;
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!(std::abs(det) > 1e-9)) return inv;
    double b[3][3];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) {
            const int r1 = (k + 1) % 3, r2 = (k + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            b[r][k] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!(mask >> i & 1u)) continue;
        const double c[3] = {l[i].x, l[i].y, l[i].z};
        Vec3& m = inv.m[i];
        m.x = static_cast<float>(b[0][0] * c[0] + b[0][1] * c[1] + b[0][2] * c[2]);
        m.y = static_cast<float>(b[1][0] * c[0] + b[1][1] * c[1] + b[1][2] * c[2]);
        m.z = static_cast<float>(b[2][0] * c[0] + b[2][1] * c[1] + b[2][2] * c[2]);
        inv.v.x += m.x;
        inv.v.y += m.y;
        inv.v.z += m.z;
    }
    inv.ok = true;
    return inv;
}

// b (albedo times normal) from the readings of the lights in the inverse's
// mask, with I = |b| ambient + b . l: b = u - ambient s v where s = |b|
// solves s^2 = |u - ambient s v|^2.
Vec3 solve(const Inverse& inv, const float* reading, uint32_t n, float ambient) noexcept {
    Vec3 u;
    for (uint32_t i = 0; i < n; ++i) {
        u.x += inv.m[i].x * reading[i];
        u.y += inv.m[i].y * reading[i];
        u.z += inv.m[i].z * reading[i];
    }
    const Vec3& v = inv.v;
    const float vv = (v.x * v.x + v.y * v.y) + v.z * v.z;
    const float uv = (u.x * v.x + u.y * v.y) + u.z * v.z;
    const float uu = (u.x * u.x + u.y * u.y) + u.z * u.z;
    const float qa = 1.0f - ambient * ambient * vv, qb = 2.0f * ambient * uv;
    const float disc = qb * qb + 4.0f * qa * uu;
    // Where the quadratic has no positive root (an ambient share as large as
    // the lamp's light at this elevation), the ambient is left out.
    const float s =
        qa > 1e-3f && disc >= 0.0f ? (std::sqrt(disc) - qb) / (2.0f * qa) : std::sqrt(uu);
    const float k = ambient * std::max(s, 0.0f);
    return {u.x - k * v.x, u.y - k * v.y, u.z - k * v.z};
}

float length(const Vec3& b) noexcept {
    return std::sqrt((b.x * b.x + b.y * b.y) + b.z * b.z);
}

struct Model {
    const LightVector* lights;
    uint32_t count;
    float ambient;
    float outlier;
    Inverse all;
    std::array<Inverse, kMostPhotographs> without;  // all lights but one
};

// What the model predicts for light i of a surface b.
float predicted(const Model& md, const Vec3& b, uint32_t i) noexcept {
    const float rho = length(b);
    return rho * md.ambient + std::max(0.0f, dot(b, md.lights[i]));
}

const Inverse& inverse_for(const Model& md, Mask mask, Mask all, Inverse& scratch) noexcept {
    if (mask == all) return md.all;
    const Mask missing = all & ~mask;
    if (std::has_single_bit(missing)) return md.without[std::countr_zero(missing)];
    scratch = invert(md.lights, md.count, mask);
    return scratch;
}

struct PixelFit {
    Vec3 b;
    Mask used = 0;
    int shadowed = -1;  // a light dropped as a shadow (cast or attached), if one was
};

// One pixel: every light, then (while more than three remain) the light the
// solved normal faces away from, or the one whose reading the others explain
// worst, dropped. Of the lights whose leaving out explains the readings, a
// darker reading that comes down to the ambient light alone (a shadow) wins
// over a brighter one (a highlight).
PixelFit fit_pixel(const Model& md, const float* reading) noexcept {
    const uint32_t n = md.count;
    const Mask all = n >= 32 ? ~Mask{0} : (Mask{1} << n) - 1;
    PixelFit fit;
    fit.used = all;
    Inverse scratch;
    for (;;) {
        const Inverse& inv = inverse_for(md, fit.used, all, scratch);
        if (!inv.ok) break;
        float masked[kMostPhotographs] = {};
        for (uint32_t i = 0; i < n; ++i) masked[i] = fit.used >> i & 1u ? reading[i] : 0.0f;
        fit.b = solve(inv, masked, n, md.ambient);
        const float rho = length(fit.b);
        if (std::popcount(fit.used) <= 3 || !(rho > kDarkest)) break;
        // A light the normal faces away from is dropped at once when its
        // reading is the ambient light alone; a brighter one is lit, and the
        // fit is off because of another light (a grazing light turned away
        // by a shadow elsewhere): that is for the search below.
        int away = -1;
        float most_away = 0.0f;
        const float ambient_only = rho * (md.ambient + md.outlier);
        for (uint32_t i = 0; i < n; ++i) {
            if (!(fit.used >> i & 1u)) continue;
            const float d = dot(fit.b, md.lights[i]);
            if (d < most_away && reading[i] <= ambient_only) {
                most_away = d;
                away = static_cast<int>(i);
            }
        }
        if (away >= 0) {
            // An attached shadow: its reading is the ambient light alone, as
            // a cast shadow's is.
            fit.used &= ~(Mask{1} << away);
            fit.shadowed = away;
            continue;
        }
        // Each light is judged by what the others predict for it, not by its
        // residual in the fit of all: the fit spreads one light's error over
        // every light (with four lights of one elevation, a shadow's residual
        // is a quarter of its darkening) and would keep it.
        int best = -1;
        float best_cost = INFINITY;
        bool best_shadow = false;
        for (uint32_t j = 0; j < n; ++j) {
            if (!(fit.used >> j & 1u)) continue;
            const Mask rest = fit.used & ~(Mask{1} << j);
            const Inverse& rj = inverse_for(md, rest, all, scratch);
            if (!rj.ok) continue;
            masked[j] = 0.0f;
            const Vec3 bj = solve(rj, masked, n, md.ambient);
            masked[j] = reading[j];
            const float rj_rho = length(bj);
            const float e = reading[j] - predicted(md, bj, j);
            if (!(std::abs(e) > md.outlier * rj_rho)) continue;
            float rest_error = 0.0f;
            for (uint32_t k = 0; k < n; ++k) {
                if (rest >> k & 1u) {
                    rest_error = std::max(rest_error, std::abs(reading[k] - predicted(md, bj, k)));
                }
            }
            const bool shadow = e < 0.0f;
            const float cost =
                rest_error + (shadow ? std::abs(reading[j] - rj_rho * md.ambient) : 0.25f * rj_rho);
            if (cost < best_cost) {
                best_cost = cost;
                best = static_cast<int>(j);
                best_shadow = shadow;
            }
        }
        if (best < 0) break;
        fit.used &= ~(Mask{1} << best);
        if (best_shadow) fit.shadowed = best;
    }
    return fit;
}

struct Readings {
    uint32_t width = 0, height = 0, count = 0;
    std::vector<float> v;  // per pixel, count readings in a row
    const float* at(size_t pixel) const noexcept { return v.data() + pixel * count; }
};

Readings luminances(const imgbuf* const* photos, uint32_t count) {
    Readings r;
    r.width = photos[0]->width;
    r.height = photos[0]->height;
    r.count = count;
    r.v.resize(size_t{r.width} * r.height * count);
    parallel_rows(r.height, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            for (uint32_t i = 0; i < count; ++i) {
                const float* s = row_unchecked(photos[i], y);
                float* out = r.v.data() + size_t{y} * r.width * count + i;
                for (uint32_t x = 0; x < r.width; ++x) {
                    const float* p = s + 4 * size_t{x};
                    out[size_t{x} * count] =
                        0.114f * clamp01(p[2]) + (0.299f * clamp01(p[0]) + 0.587f * clamp01(p[1]));
                }
            }
        }
    });
    return r;
}

// Every pixel's fit; the shadows' ratios (reading / albedo) collected per row
// band, in row order, when asked.
std::vector<PixelFit> fit_all(const Model& md, const Readings& r, std::vector<float>* ratios) {
    const size_t pixels = size_t{r.width} * r.height;
    std::vector<PixelFit> fits(pixels);
    const uint32_t bands = row_bands(r.height, 8);
    std::vector<std::vector<float>> band_ratios(ratios ? bands : 0);
    parallel_bands(r.height, bands, [&](uint32_t band, uint32_t y0, uint32_t y1) noexcept {
        for (size_t p = size_t{y0} * r.width; p < size_t{y1} * r.width; ++p) {
            fits[p] = fit_pixel(md, r.at(p));
            if (ratios && fits[p].shadowed >= 0) {
                const float rho = length(fits[p].b);
                // An allocation failure only loses ratios, never a result.
                try {
                    band_ratios[band].push_back(r.at(p)[fits[p].shadowed] / rho);
                } catch (const std::bad_alloc&) {
                }
            }
        }
    });
    if (ratios) {
        for (auto& b : band_ratios) ratios->insert(ratios->end(), b.begin(), b.end());
    }
    return fits;
}

float median(std::vector<float>& v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The ambient share: from the lights dropped as cast shadows (their reading
// is the ambient light alone), refined twice; else the default.
float estimate_ambient(Model& md, const Readings& r) {
    md.ambient = kDefaultAmbient;
    if (r.count < 4) return md.ambient;
    for (int round = 0; round < 3; ++round) {
        std::vector<float> ratios;
        fit_all(md, r, &ratios);
        if (ratios.size() < kLeastShadowPixels) break;
        md.ambient = std::clamp(median(ratios), 0.0f, 1.0f);
    }
    return md.ambient;
}

// Shared elevation when neither a light nor the settings give one: lights of
// one elevation cannot show it (see estimate_ambient), and this is halfway.
constexpr float kDefaultElevation = 45.0f;
// The flattest normal turned into a slope for the heights (as integrate_normals).
constexpr float kLeastZ = 0.1f;

// Slopes of the fitted normals, integrated.
bool integrate_fits(const std::vector<PixelFit>& fits, uint32_t w, uint32_t h, bool wrap,
                    std::vector<float>& heights) {
    const size_t pixels = size_t{w} * h;
    std::vector<float> p(pixels), q(pixels);
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (size_t i = size_t{y0} * w; i < size_t{y1} * w; ++i) {
            const Vec3& b = fits[i].b;
            const float z = std::max(b.z, kLeastZ * length(b));
            p[i] = z > 0.0f ? -b.x / z : 0.0f;
            q[i] = z > 0.0f ? -b.y / z : 0.0f;
        }
    });
    heights.resize(pixels);
    return integrate_slopes(p.data(), q.data(), w, h, wrap, heights.data());
}

// Whether the relief comes out upside down under the convention that settles
// a half turn of unknown lights: hollows are the darker parts (shadows fall
// and the sky is hidden there), so the heights go with the brightness over
// what the normals alone explain (the albedo's share of it included, as
// each pixel's fit takes a darkening common to all lights for its albedo).
bool upside_down(const Model& md, const Readings& r, const std::vector<PixelFit>& fits,
                 const std::vector<float>& heights) {
    const size_t pixels = fits.size();
    double sh = 0.0, sd = 0.0, shd = 0.0;
    for (size_t p = 0; p < pixels; ++p) {
        const float rho = length(fits[p].b);
        if (!(rho > kDarkest)) continue;
        double seen = 0.0, shading = 0.0, least = INFINITY;
        for (uint32_t i = 0; i < r.count; ++i) {
            seen += r.at(p)[i];
            least = std::min<double>(least, r.at(p)[i]);
            shading += predicted(md, fits[p].b, i) / rho;
        }
        if (!(shading > 0.0) || !(seen > 0.0)) continue;
        const double d = seen / shading + least * r.count / seen, hv = heights[p];
        sh += hv, sd += d, shd += hv * d;
    }
    return shd * static_cast<double>(pixels) - sh * sd < 0.0;
}

// Colour: per channel, the least-squares albedo of the lights in use.
void write_albedo(imgbuf* dst, const imgbuf* const* photos, const Model& md,
                  const std::vector<PixelFit>& fits) {
    const uint32_t w = dst->width, h = dst->height;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* out = row_unchecked(dst, y);
            for (uint32_t x = 0; x < w; ++x) {
                const PixelFit& f = fits[size_t{y} * w + x];
                const float rho = length(f.b);
                float num[3] = {0.0f, 0.0f, 0.0f}, den = 0.0f;
                if (rho > kDarkest) {
                    for (uint32_t i = 0; i < md.count; ++i) {
                        if (!(f.used >> i & 1u)) continue;
                        const float s = md.ambient + std::max(0.0f, dot(f.b, md.lights[i]) / rho);
                        const float* px = row_unchecked(photos[i], y) + 4 * size_t{x};
                        for (int c = 0; c < 3; ++c) num[c] += clamp01(px[c]) * s;
                        den += s * s;
                    }
                }
                for (int c = 0; c < 3; ++c) out[4 * x + c] = den > 0.0f ? num[c] / den : 0.0f;
                out[4 * x + 3] = 1.0f;
            }
        }
    });
    // The brightest 0.1 % at 1.
    std::vector<float> lum(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y) {
        const float* s = row_unchecked(dst, y);
        for (uint32_t x = 0; x < w; ++x) {
            lum[size_t{y} * w + x] = std::max({s[4 * x], s[4 * x + 1], s[4 * x + 2]});
        }
    }
    const auto at = lum.begin() + static_cast<std::ptrdiff_t>((lum.size() - 1) * 999 / 1000);
    std::nth_element(lum.begin(), at, lum.end());
    const float scale = *at > 0.0f ? 1.0f / *at : 1.0f;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* o = row_unchecked(dst, y);
            for (uint32_t x = 0; x < w; ++x) {
                for (int c = 0; c < 3; ++c) o[4 * x + c] = std::min(1.0f, o[4 * x + c] * scale);
            }
        }
    });
}

PhotometricOutcome run(const imgbuf* const* photos, const LightAngles* given, uint32_t count,
                       const PhotometricSettings& settings, PhotometricResult& result) {
    const uint32_t w = photos[0]->width, h = photos[0]->height;
    const Readings r = luminances(photos, count);
    std::vector<LightAngles> angles(given, given + count);
    bool any_unknown = false, any_known = false;
    for (auto& a : angles) {
        if (std::isnan(a.elevation)) a.elevation = settings.elevation;
        if (std::isnan(a.elevation)) a.elevation = kDefaultElevation;
        a.elevation = std::clamp(a.elevation, 1.0f, 90.0f);
        (std::isnan(a.azimuth) ? any_unknown : any_known) = true;
    }
    if (any_unknown) {
        const std::vector<float> found = search_azimuths(r.v.data(), w, h, count);
        // Nothing to go by: the lights are taken as evenly spread.
        std::vector<float> az(count);
        for (uint32_t i = 0; i < count; ++i) {
            az[i] = found.empty() ? 360.0f * static_cast<float>(i) / static_cast<float>(count)
                                  : found[i];
        }
        // Given lights settle the half turn: the one nearer to them.
        if (any_known) {
            double near = 0.0, far = 0.0;
            for (uint32_t i = 0; i < count; ++i) {
                if (std::isnan(angles[i].azimuth)) continue;
                const double d = std::remainder(az[i] - angles[i].azimuth, 360.0);
                near += std::abs(d);
                far += std::abs(std::remainder(d + 180.0, 360.0));
            }
            if (far < near) {
                for (float& a : az) a = std::fmod(a + 180.0f, 360.0f);
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (std::isnan(angles[i].azimuth)) angles[i].azimuth = az[i];
        }
    }
    std::vector<LightVector> vectors(count);
    for (uint32_t i = 0; i < count; ++i) {
        vectors[i] = light_vector(angles[i].azimuth, angles[i].elevation);
    }
    Model md{vectors.data(), count, kDefaultAmbient, settings.outlier, {}, {}};
    const Mask all = count >= 32 ? ~Mask{0} : (Mask{1} << count) - 1;
    md.all = invert(md.lights, count, all);
    if (!md.all.ok) return PhotometricOutcome::lights_in_one_plane;
    for (uint32_t j = 0; j < count && count >= 4; ++j) {
        md.without[j] = invert(md.lights, count, all & ~(Mask{1} << j));
    }
    md.ambient = std::isnan(settings.ambient) ? estimate_ambient(md, r)
                                              : std::clamp(settings.ambient, 0.0f, 1.0f);
    std::vector<PixelFit> fits = fit_all(md, r, nullptr);
    std::vector<float> heights;
    if (!integrate_fits(fits, w, h, settings.wrap, heights)) return PhotometricOutcome::failed;
    if (any_unknown && !any_known && upside_down(md, r, fits, heights)) {
        // The same photographs under the lights turned half round: the
        // normals' horizontal parts and the heights change sign.
        for (auto& f : fits) f.b.x = -f.b.x, f.b.y = -f.b.y;
        for (float& v : heights) v = -v;
        for (uint32_t i = 0; i < count; ++i) {
            angles[i].azimuth = std::fmod(angles[i].azimuth + 180.0f, 360.0f);
            vectors[i] = light_vector(angles[i].azimuth, angles[i].elevation);
        }
    }
    ImgbufPtr normals = make_image(w, h), albedo = make_image(w, h), hmap = make_image(w, h);
    if (!normals || !albedo || !hmap) return PhotometricOutcome::failed;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* out = row_unchecked(normals.get(), y);
            for (uint32_t x = 0; x < w; ++x) {
                const Vec3& b = fits[size_t{y} * w + x].b;
                const float rho = length(b);
                const bool dark = !(rho > kDarkest) || !(b.z > 0.0f);
                out[4 * x] = dark ? 0.5f : 0.5f + 0.5f * (b.x / rho);
                out[4 * x + 1] = dark ? 0.5f : 0.5f + 0.5f * (b.y / rho);
                out[4 * x + 2] = dark ? 1.0f : b.z / rho;
                out[4 * x + 3] = 1.0f;
            }
        }
    });
    write_albedo(albedo.get(), photos, md, fits);
    result.height_range = write_unit_heights(hmap.get(), heights.data());
    result.normals = std::move(normals);
    result.albedo = std::move(albedo);
    result.heights = std::move(hmap);
    result.ambient = md.ambient;
    result.lights = std::move(angles);
    return PhotometricOutcome::solved;
}

}  // namespace

PhotometricOutcome photometric_stereo(const imgbuf* const* photos, const LightAngles* lights,
                                      uint32_t count, const PhotometricSettings& settings,
                                      PhotometricResult& result) noexcept {
    if (!photos || !lights || count < 3 || count > kMostPhotographs)
        return PhotometricOutcome::failed;
    for (uint32_t i = 0; i < count; ++i) {
        if (!has_pixels(photos[i]) || !same_size(photos[i], photos[0]))
            return PhotometricOutcome::failed;
    }
    const LibraryCall busy;
    try {
        return run(photos, lights, count, settings, result);
    } catch (const std::bad_alloc&) {
        return PhotometricOutcome::failed;
    }
}

}  // namespace rk
