#include "surface/photometric.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
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
// A channel at full scale was clipped, or may have been: every integer
// capture's top step loads as exactly 1, and a float capture's clipped light
// lies at or above it. Such a reading is darker than the surface's light, not
// a shadow. Readings just below full scale are real ones (a 16-bit capture's
// last hundred steps are light, well measured).
constexpr float kClipped = 1.0f;

struct Vec3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;
};

float dot(const Vec3& a, const LightVector& l) noexcept {
    return (a.x * l.x + a.y * l.y) + a.z * l.z;
}

// A light's share of the sums below, in fixed point (units of 2^-50; the
// components are at most 1, so 32 lights' sums stay far inside 64 bits).
// Fixed point makes the sums exact: a mask's sums are the same whichever
// lights were taken out of all of them, in whatever order, so its inverse is
// a function of the mask alone and may be kept for the next pixel.
constexpr double kFixedOne = 0x1p50;

struct FixedLight {
    int64_t a[6];  // xx, xy, xz, yy, yz, zz
    int64_t t[3];  // x, y, z
};

FixedLight fixed_light(const LightVector& l) noexcept {
    const double x = l.x, y = l.y, z = l.z;
    const double a[6] = {x * x, x * y, x * z, y * y, y * z, z * z}, t[3] = {x, y, z};
    FixedLight f;
    for (int k = 0; k < 6; ++k) f.a[k] = std::llround(a[k] * kFixedOne);
    for (int k = 0; k < 3; ++k) f.t[k] = std::llround(t[k] * kFixedOne);
    return f;
}

// Sums over the lights of a mask: a = sum l l^T (symmetric) and t = sum l.
// A pixel's fit keeps them and takes a dropped light's share out.
struct LightSums {
    int64_t a[6] = {};
    int64_t t[3] = {};

    void add(const FixedLight& f) noexcept {
        for (int k = 0; k < 6; ++k) a[k] += f.a[k];
        for (int k = 0; k < 3; ++k) t[k] += f.t[k];
    }
    void remove(const FixedLight& f) noexcept {
        for (int k = 0; k < 6; ++k) a[k] -= f.a[k];
        for (int k = 0; k < 3; ++k) t[k] -= f.t[k];
    }
};

// The least-squares inverse of the lights in a mask: b = B g, with
// g = sum l[i] I[i] over the mask, solves I[i] = b . l[i] best; v = B t.
struct Inverse {
    double b[3][3] = {};
    Vec3 v;
    bool ok = false;
};

Inverse invert(const LightSums& s) noexcept {
    double e[6], t[3];
    for (int k = 0; k < 6; ++k) e[k] = static_cast<double>(s.a[k]) / kFixedOne;
    for (int k = 0; k < 3; ++k) t[k] = static_cast<double>(s.t[k]) / kFixedOne;
    const double a[3][3] = {{e[0], e[1], e[2]}, {e[1], e[3], e[4]}, {e[2], e[4], e[5]}};
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    Inverse inv;
    if (!(std::abs(det) > 1e-9)) return inv;
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) {
            const int r1 = (k + 1) % 3, r2 = (k + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv.b[r][k] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
    }
    inv.v = {static_cast<float>(inv.b[0][0] * t[0] + inv.b[0][1] * t[1] + inv.b[0][2] * t[2]),
             static_cast<float>(inv.b[1][0] * t[0] + inv.b[1][1] * t[1] + inv.b[1][2] * t[2]),
             static_cast<float>(inv.b[2][0] * t[0] + inv.b[2][1] * t[1] + inv.b[2][2] * t[2])};
    inv.ok = true;
    return inv;
}

// b (albedo times normal) from a mask's readings g = sum l[i] I[i], with
// I = |b| ambient + b . l: b = u - ambient s v where u = B g and s = |b|
// solves s^2 = |u - ambient s v|^2.
Vec3 solve(const Inverse& inv, const double* g, float ambient) noexcept {
    const auto& m = inv.b;
    const Vec3 u{static_cast<float>(m[0][0] * g[0] + m[0][1] * g[1] + m[0][2] * g[2]),
                 static_cast<float>(m[1][0] * g[0] + m[1][1] * g[1] + m[1][2] * g[2]),
                 static_cast<float>(m[2][0] * g[0] + m[2][1] * g[1] + m[2][2] * g[2])};
    const Vec3& v = inv.v;
    const float vv = (v.x * v.x + v.y * v.y) + v.z * v.z;
    const float uv = (u.x * v.x + u.y * v.y) + u.z * v.z;
    const float uu = (u.x * u.x + u.y * u.y) + u.z * u.z;
    const float qa = 1.0f - ambient * ambient * vv, qb = 2.0f * ambient * uv;
    const float disc = qb * qb + 4.0f * qa * uu;
    // With an ambient share as large as the lamp's light at this elevation
    // (qa at or below 0) the quadratic's two roots may both be positive: the
    // smaller is the surface's (the larger turns b away from the lights), and
    // 2 uu / (qb + sqrt(disc)) is that root without dividing by qa. Where no
    // root is positive the ambient is left out.
    const float root = std::sqrt(std::max(disc, 0.0f));
    const float s = qa > 1e-3f && disc >= 0.0f ? (root - qb) / (2.0f * qa)
                    : disc >= 0.0f && qb + root > 0.0f ? 2.0f * uu / (qb + root)
                                                       : std::sqrt(uu);
    const float k = ambient * std::max(s, 0.0f);
    return {u.x - k * v.x, u.y - k * v.y, u.z - k * v.z};
}

float length(const Vec3& b) noexcept {
    return std::sqrt((b.x * b.x + b.y * b.y) + b.z * b.z);
}

// Four lanes of floats for the loops over the lights (plain SSE, which every
// x86-64 processor has).
using Lanes = float __attribute__((vector_size(16)));
using LaneMask = int32_t __attribute__((vector_size(16)));
constexpr uint32_t kLanes = 4;

struct Model {
    const LightVector* lights = nullptr;
    uint32_t count = 0;
    float ambient = 0.0f;
    float outlier = 0.0f;
    std::array<FixedLight, kMostPhotographs> fixed{};
    LightSums sums_all;
    Inverse all;
    std::array<Inverse, kMostPhotographs> without{};  // all lights but one
    // The lights' components as rows (zero past count), for the lane loops.
    alignas(16) std::array<float, kMostPhotographs> lx{}, ly{}, lz{};
};

Model make_model(const LightVector* lights, uint32_t count, float outlier) {
    Model md;
    md.lights = lights;
    md.count = count;
    md.ambient = kDefaultAmbient;
    md.outlier = outlier;
    for (uint32_t i = 0; i < count; ++i) {
        md.fixed[i] = fixed_light(lights[i]);
        md.sums_all.add(md.fixed[i]);
        md.lx[i] = lights[i].x, md.ly[i] = lights[i].y, md.lz[i] = lights[i].z;
    }
    md.all = invert(md.sums_all);
    for (uint32_t j = 0; j < count && count >= 4; ++j) {
        LightSums rest = md.sums_all;
        rest.remove(md.fixed[j]);
        md.without[j] = invert(rest);
    }
    return md;
}

// The inverses of masks with two or more lights left out, kept per row band:
// neighbouring pixels in the same shadow leave out the same lights. Direct
// mapped (up to eight lights every mask has its own slot); a slot holding
// another mask is inverted again, from the mask's exact sums, so a pixel's
// fit never depends on the pixels before it.
class InverseCache {
public:
    const Inverse& get(Mask mask, const LightSums& sums, uint32_t count) noexcept {
        const uint32_t slot =
            count <= kSlotBits ? mask : (mask * 0x9E3779B1u) >> (32 - kSlotBits);
        if (!filled_[slot] || keys_[slot] != mask) {
            slots_[slot] = invert(sums);
            keys_[slot] = mask;
            filled_[slot] = true;
        }
        return slots_[slot];
    }

private:
    static constexpr uint32_t kSlotBits = 8;
    std::array<Inverse, size_t{1} << kSlotBits> slots_{};
    std::array<Mask, size_t{1} << kSlotBits> keys_{};
    std::array<bool, size_t{1} << kSlotBits> filled_{};
};

// The inverse of the lights in mask, whose sums are given.
const Inverse& inverse_for(const Model& md, Mask mask, Mask all, const LightSums& sums,
                           InverseCache& cache) noexcept {
    const Mask missing = all & ~mask;
    if (missing == 0) return md.all;
    if (std::has_single_bit(missing)) return md.without[std::countr_zero(missing)];
    return cache.get(mask, sums, md.count);
}

// What the model predicts for light i of a surface b of albedo rho (its length).
float predicted(const Model& md, const Vec3& b, float rho, uint32_t i) noexcept {
    return rho * md.ambient + std::max(0.0f, dot(b, md.lights[i]));
}

// The largest |reading - predicted| over the lights in mask (reading padded
// with zeros to a whole number of lanes). The same as a loop of std::max over
// the lights: a maximum does not depend on the order it is taken in.
float worst_error(const Model& md, const Vec3& b, float rho, const float* reading,
                  Mask mask) noexcept {
    const Lanes zero{}, bx = zero + b.x, by = zero + b.y, bz = zero + b.z;
    const Lanes base = zero + rho * md.ambient;
    const LaneMask bit{1, 2, 4, 8};
    Lanes worst{};
    for (uint32_t i = 0; i < md.count; i += kLanes) {
        Lanes lx, ly, lz, r;
        std::memcpy(&lx, md.lx.data() + i, sizeof lx);
        std::memcpy(&ly, md.ly.data() + i, sizeof ly);
        std::memcpy(&lz, md.lz.data() + i, sizeof lz);
        std::memcpy(&r, reading + i, sizeof r);
        const Lanes d = (bx * lx + by * ly) + bz * lz;
        const Lanes e = r - (base + (zero < d ? d : zero));
        const LaneMask in = ((LaneMask{} + static_cast<int32_t>(mask >> i)) & bit) != 0;
        const Lanes size = in ? (e < zero ? -e : e) : zero;
        worst = worst < size ? size : worst;
    }
    return std::max(std::max(worst[0], worst[1]), std::max(worst[2], worst[3]));
}

struct PixelFit {
    Vec3 b;
    Mask used = 0;
    int shadowed = -1;  // a light dropped as a shadow (cast or attached), if one was
};

// One pixel: every light but the clipped ones (while three lights that fix a
// normal remain without them), then (while more than three remain) the light
// the solved normal faces away from, or the one whose reading the others
// explain worst, dropped. Of the lights whose leaving out explains the
// readings, a darker reading that comes down to the ambient light alone (a
// shadow) wins over a brighter one (a highlight).
PixelFit fit_pixel(const Model& md, const float* reading, Mask clipped,
                   InverseCache& cache) noexcept {
    const uint32_t n = md.count;
    const Mask all = n >= 32 ? ~Mask{0} : (Mask{1} << n) - 1;
    alignas(16) float padded[kMostPhotographs] = {};
    std::memcpy(padded, reading, n * sizeof(float));
    // The mask's sums and its readings' g = sum l[i] I[i], a dropped light's
    // share taken out of both.
    LightSums sums = md.sums_all;
    double g[3] = {0.0, 0.0, 0.0};
    for (uint32_t i = 0; i < n; ++i) {
        g[0] += static_cast<double>(md.lights[i].x) * reading[i];
        g[1] += static_cast<double>(md.lights[i].y) * reading[i];
        g[2] += static_cast<double>(md.lights[i].z) * reading[i];
    }
    auto without = [&](double* out, uint32_t j) noexcept {
        out[0] = g[0] - static_cast<double>(md.lights[j].x) * reading[j];
        out[1] = g[1] - static_cast<double>(md.lights[j].y) * reading[j];
        out[2] = g[2] - static_cast<double>(md.lights[j].z) * reading[j];
    };
    PixelFit fit;
    fit.used = all;
    auto drop = [&](uint32_t j) noexcept {
        fit.used &= ~(Mask{1} << j);
        sums.remove(md.fixed[j]);
        without(g, j);
    };
    const Mask unclipped = all & ~clipped;
    if (unclipped != all && std::popcount(unclipped) >= 3) {
        LightSums rest = sums;
        for (uint32_t j = 0; j < n; ++j) {
            if (clipped >> j & 1u) rest.remove(md.fixed[j]);
        }
        if (inverse_for(md, unclipped, all, rest, cache).ok) {
            for (uint32_t j = 0; j < n; ++j) {
                if (clipped >> j & 1u) drop(j);
            }
        }
    }
    for (;;) {
        const Inverse& inv = inverse_for(md, fit.used, all, sums, cache);
        if (!inv.ok) break;
        fit.b = solve(inv, g, md.ambient);
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
            drop(static_cast<uint32_t>(away));
            fit.shadowed = away;
            continue;
        }
        // Each light is judged by what the others predict for it, not by its
        // residual in the fit of all: the fit spreads one light's error over
        // every light (with four lights of one elevation, a shadow's residual
        // is a quarter of its darkening) and would keep it.
        //
        // A light can also be in an attached shadow that neither test sees:
        // the fit of all does not face away from it (its dark reading turns
        // that normal round, as lights of several elevations often let it),
        // and the others, whose normal does, predict its reading right only
        // because the lamp's share stops at 0. Such a light is dropped as a
        // shadow when the fit is off or another light is mispredicted, and
        // its leaving out explains the readings better by more than the
        // outlier share (with four lights a cast shadow elsewhere explains
        // them as exactly: the mispredicted light keeps that tie); a fit that
        // explains its readings keeps every light.
        int best = -1, attached = -1;
        float best_cost = INFINITY, attached_cost = INFINITY;
        bool best_shadow = false;
        for (uint32_t j = 0; j < n; ++j) {
            if (!(fit.used >> j & 1u)) continue;
            const Mask rest = fit.used & ~(Mask{1} << j);
            LightSums rest_sums = sums;
            rest_sums.remove(md.fixed[j]);
            const Inverse& rj = inverse_for(md, rest, all, rest_sums, cache);
            if (!rj.ok) continue;
            double gj[3];
            without(gj, j);
            const Vec3 bj = solve(rj, gj, md.ambient);
            const float rj_rho = length(bj);
            const float e = reading[j] - predicted(md, bj, rj_rho, j);
            if (!(std::abs(e) > md.outlier * rj_rho)) {
                if (dot(bj, md.lights[j]) < 0.0f &&
                    reading[j] <= rj_rho * (md.ambient + md.outlier)) {
                    const float rest_error = worst_error(md, bj, rj_rho, padded, rest);
                    const float cost = rest_error + std::abs(reading[j] - rj_rho * md.ambient);
                    if (rest_error <= md.outlier * rj_rho && cost < attached_cost) {
                        attached_cost = cost;
                        attached = static_cast<int>(j);
                    }
                }
                continue;
            }
            const float rest_error = worst_error(md, bj, rj_rho, padded, rest);
            const bool shadow = e < 0.0f;
            const float cost =
                rest_error + (shadow ? std::abs(reading[j] - rj_rho * md.ambient) : 0.25f * rj_rho);
            if (cost < best_cost) {
                best_cost = cost;
                best = static_cast<int>(j);
                best_shadow = shadow;
            }
        }
        if (attached >= 0 && attached_cost + md.outlier * rho < best_cost &&
            (best >= 0 || worst_error(md, fit.b, rho, padded, fit.used) > md.outlier * rho)) {
            best = attached;
            best_shadow = true;
        }
        if (best < 0) break;
        drop(static_cast<uint32_t>(best));
        if (best_shadow) fit.shadowed = best;
    }
    return fit;
}

struct Readings {
    uint32_t width = 0, height = 0, count = 0;
    std::vector<float> v;        // per pixel, count readings in a row
    std::vector<Mask> clipped;  // per pixel, the lights whose reading is clipped
    const float* at(size_t pixel) const noexcept { return v.data() + pixel * count; }
};

Readings luminances(const imgbuf* const* photos, uint32_t count) {
    Readings r;
    r.width = photos[0]->width;
    r.height = photos[0]->height;
    r.count = count;
    r.v.resize(size_t{r.width} * r.height * count);
    r.clipped.resize(size_t{r.width} * r.height);
    parallel_rows(r.height, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            for (uint32_t i = 0; i < count; ++i) {
                const float* s = row_unchecked(photos[i], y);
                float* out = r.v.data() + size_t{y} * r.width * count + i;
                Mask* clipped = r.clipped.data() + size_t{y} * r.width;
                for (uint32_t x = 0; x < r.width; ++x) {
                    const float* p = s + 4 * size_t{x};
                    out[size_t{x} * count] =
                        0.114f * clamp01(p[2]) + (0.299f * clamp01(p[0]) + 0.587f * clamp01(p[1]));
                    if (std::max({p[0], p[1], p[2]}) >= kClipped) clipped[x] |= Mask{1} << i;
                }
            }
        }
    });
    return r;
}

// Every pixel's fit; the shadows' ratios (reading / albedo) collected per row
// band, in row order, when asked. Throws std::bad_alloc.
std::vector<PixelFit> fit_all(const Model& md, const Readings& r, std::vector<float>* ratios) {
    const size_t pixels = size_t{r.width} * r.height;
    std::vector<PixelFit> fits(pixels);
    const uint32_t bands = row_bands(r.height, 8);
    std::vector<std::vector<float>> band_ratios(ratios ? bands : 0);
    std::vector<char> band_short(ratios ? bands : 0);  // a band that lost a ratio
    parallel_bands(r.height, bands, [&](uint32_t band, uint32_t y0, uint32_t y1) noexcept {
        InverseCache cache;
        for (size_t p = size_t{y0} * r.width; p < size_t{y1} * r.width; ++p) {
            fits[p] = fit_pixel(md, r.at(p), r.clipped[p], cache);
            // A fit that ends too dark to tell (dropping a highlight may
            // leave only black readings: rho 0) gives no ratio: reading / rho
            // would be NaN or infinite and could become the median. Nor does
            // a fit that had to keep clipped readings (too few lights without
            // them): it is off by them, and so is the light it dropped.
            const int shadowed = fits[p].shadowed;
            const bool ambient_only =
                shadowed >= 0 && (r.clipped[p] & (fits[p].used | Mask{1} << shadowed)) == 0;
            const float rho = ratios && ambient_only ? length(fits[p].b) : 0.0f;
            if (rho > kDarkest && !band_short[band]) {
                // A lost ratio would move the median, so the ambient share and
                // every map: the band is marked and the whole fit fails after
                // the loop (nothing may leave the pool's items).
                try {
                    band_ratios[band].push_back(r.at(p)[shadowed] / rho);
                } catch (const std::bad_alloc&) {
                    band_short[band] = 1;
                }
            }
        }
    });
    if (std::find(band_short.begin(), band_short.end(), 1) != band_short.end()) {
        throw std::bad_alloc();
    }
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
// is the ambient light alone), refined twice; else the default. Throws
// std::bad_alloc.
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
            shading += predicted(md, fits[p].b, rho, i) / rho;
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
        // Elevations at which no azimuths could spread the lights (all at 90
        // degrees or near) are the elevations' fault, whatever the search finds.
        std::vector<LightVector> even(count);
        for (uint32_t i = 0; i < count; ++i) {
            even[i] = light_vector(360.0f * static_cast<float>(i) / static_cast<float>(count),
                                   angles[i].elevation);
        }
        if (!lights_spread(even.data(), count)) return PhotometricOutcome::lights_in_one_plane;
        std::vector<float> az = search_azimuths(r.v.data(), w, h, count);
        // Lights taken as evenly spread would be reported as found.
        if (az.empty()) return PhotometricOutcome::lights_unknown;
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
    // Estimated lights are held to what given ones are.
    if (!lights_spread(vectors.data(), count)) return PhotometricOutcome::lights_in_one_plane;
    Model md = make_model(vectors.data(), count, settings.outlier);
    if (!md.all.ok) return PhotometricOutcome::lights_in_one_plane;
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
        // An infinite angle has no direction (and would reach the fixed-point
        // sums as a NaN); NaN means "estimate" (the azimuth) or "default".
        if (std::isinf(lights[i].azimuth) || std::isinf(lights[i].elevation))
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
