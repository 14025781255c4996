#include "heightmap/delit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "heightmap/fourier_grid.h"
#include "imgbuf/luminance.h"

namespace rk {
namespace {

using Cell = std::complex<float>;

// Tuning, chosen on bench/fidelity (see bench/README.md).
struct Tuning {
    float margin_fraction = 0.125f;  // mirrored border of a clamped image, of its larger side
    float flatten_fraction = 0.0625f;  // width of the illumination and colour removed
    float floor = 1.0f / 255.0f;     // darkest luminance trusted
    float perpendicular = 0.05f;     // smear of the integration across the light
    float sun_low = 0.2f;            // unexplained share above which the light is even
    float sun_high = 0.1f;           // ... and below which it comes from one side
    float band_low = 4.0f;           // wavelengths (pixels) the light direction is read from
    float band_high = 64.0f;
    float smooth_factor = 0.33f;     // Gaussian sigma per pixel of smoothing size
};

Tuning tuning() {
    Tuning t;
    // Development only: RK_DELIT="a b c ..." overrides the tuning in order.
    if (const char* env = std::getenv("RK_DELIT")) {
        float* fields[] = {&t.margin_fraction, &t.flatten_fraction, &t.floor, &t.perpendicular,
                           &t.sun_low, &t.sun_high, &t.band_low, &t.band_high, &t.smooth_factor};
        char* p = const_cast<char*>(env);
        for (float* f : fields) {
            char* end = nullptr;
            const float v = std::strtof(p, &end);
            if (end == p) break;
            *f = v;
            p = end;
        }
    }
    return t;
}

// Index into 0..n-1 of any i, mirrored at both ends (period 2n) or wrapped.
uint32_t fold(int64_t i, uint32_t n, bool wrap) noexcept {
    const int64_t period = wrap ? n : 2 * int64_t{n};
    int64_t j = i % period;
    if (j < 0) j += period;
    return static_cast<uint32_t>(j < n ? j : period - 1 - j);
}

// One periodic box pass of radius r over count values spaced step apart; the
// running sum is in double and runs in a fixed order.
void box_line(float* v, uint32_t count, size_t step, uint32_t r, std::vector<double>& tmp) {
    tmp.resize(count);
    double sum = 0.0;
    for (int64_t i = -int64_t{r}; i <= int64_t{r}; ++i) sum += v[fold(i, count, true) * step];
    const double norm = 1.0 / (2.0 * r + 1.0);
    for (uint32_t i = 0; i < count; ++i) {
        tmp[i] = sum * norm;
        sum += v[fold(int64_t{i} + r + 1, count, true) * step];
        sum -= v[fold(int64_t{i} - r, count, true) * step];
    }
    for (uint32_t i = 0; i < count; ++i) v[i * step] = static_cast<float>(tmp[i]);
}

// Three periodic box passes each way: close to a Gaussian of sigma sqrt(r (r + 1)).
void periodic_blur(std::vector<float>& img, uint32_t w, uint32_t h, uint32_t r) {
    std::vector<double> tmp;
    for (int pass = 0; pass < 3; ++pass) {
        for (uint32_t y = 0; y < h; ++y) box_line(img.data() + size_t{y} * w, w, 1, r, tmp);
        for (uint32_t x = 0; x < w; ++x) box_line(img.data() + x, h, w, r, tmp);
    }
}

// Signed angular frequency of index i of an n-point transform.
float frequency(uint32_t i, uint32_t n) noexcept {
    const int64_t k = i <= n / 2 ? int64_t{i} : int64_t{i} - n;
    return static_cast<float>(2.0 * std::numbers::pi * static_cast<double>(k) / n);
}

struct Light {
    float dx = 1.0f, dy = 0.0f;  // axis of the light's direction in the image plane
    float directional = 0.0f;    // 0 even light .. 1 one direction
    float ratio = 0.0f;
};

// The light's axis in the image plane, from the shading's spectrum. A light
// from one side makes the shading the relief's derivative along its axis, so
// the shading's energy at angle a from that axis falls off as cos^2 a. The axis
// is the one that leaves least of the shading unexplained by the regularised
// integration below: with E(theta) the energy at angle theta, it minimises
// F(phi) = sum E(theta) eps / (cos^2(theta - phi) + eps). Under an even light
// no axis explains much, and min F / sum E stays high: it measures how
// directional the light is.
constexpr uint32_t kAngles = 180;

Light estimate_light(FourierGrid& g, const Tuning& t) {
    const float k_low = 2.0f * std::numbers::pi_v<float> / t.band_high;
    const float k_high = 2.0f * std::numbers::pi_v<float> / t.band_low;
    std::array<double, kAngles> energy{};
    for (uint32_t y = 0; y < g.height(); ++y) {
        const float ky = frequency(y, g.height());
        const Cell* row = g.row(y);
        for (uint32_t x = 0; x < g.width(); ++x) {
            const float kx = frequency(x, g.width());
            const float kk = kx * kx + ky * ky;
            if (!(kk >= k_low * k_low && kk <= k_high * k_high)) continue;
            double a = std::atan2(static_cast<double>(ky), static_cast<double>(kx));
            if (a < 0.0) a += std::numbers::pi;
            const auto bin = std::min<uint32_t>(
                kAngles - 1, static_cast<uint32_t>(a / std::numbers::pi * kAngles));
            energy[bin] += std::norm(row[x]);
        }
    }
    double total = 0.0;
    for (double e : energy) total += e;
    Light light;
    if (!(total > 0.0)) return light;
    std::array<double, kAngles> f{};
    for (uint32_t i = 0; i < kAngles; ++i) {
        const double c = std::cos(std::numbers::pi * (i + 0.5) / kAngles);
        f[i] = t.perpendicular / (c * c + t.perpendicular);
    }
    double best = INFINITY;
    uint32_t best_phi = 0;
    for (uint32_t phi = 0; phi < kAngles; ++phi) {
        double sum = 0.0;
        for (uint32_t i = 0; i < kAngles; ++i) sum += energy[i] * f[(i + kAngles - phi) % kAngles];
        if (sum < best) {
            best = sum;
            best_phi = phi;
        }
    }
    const double phi = std::numbers::pi * best_phi / kAngles;
    light.dx = static_cast<float>(std::cos(phi));
    light.dy = static_cast<float>(std::sin(phi));
    const double r = best / total;
    light.ratio = static_cast<float>(r);
    light.directional =
        std::clamp(static_cast<float>((t.sun_low - r) / (t.sun_low - t.sun_high)), 0.0f, 1.0f);
    return light;
}

struct Moments {
    double mean = 0.0, skew = 0.0, gradient = 0.0;
};

// Mean, skewness and root-mean-square gradient of one part (real or imaginary)
// of the grid over the w x h window at (x0, y0), summed in a fixed order.
Moments moments(FourierGrid& g, bool imag, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    auto at = [&](uint32_t x, uint32_t y) {
        const Cell c = g.row(y0 + y)[x0 + x];
        return static_cast<double>(imag ? c.imag() : c.real());
    };
    Moments m;
    double sum = 0.0, g2 = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double v = at(x, y);
            sum += v;
            const double gx = at(std::min(x + 1, w - 1), y) - v;
            const double gy = at(x, std::min(y + 1, h - 1)) - v;
            g2 += gx * gx + gy * gy;
        }
    }
    const double n = static_cast<double>(w) * h;
    m.mean = sum / n;
    double m2 = 0.0, m3 = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double d = at(x, y) - m.mean;
            m2 += d * d;
            m3 += d * d * d;
        }
    }
    m2 /= n;
    m3 /= n;
    m.skew = m2 > 0.0 ? m3 / (m2 * std::sqrt(m2)) : 0.0;
    m.gradient = std::sqrt(g2 / n);
    return m;
}

bool run(imgbuf* dst, const imgbuf* src, const DelitSettings& settings) {
    const Tuning t = tuning();
    const uint32_t w = src->width, h = src->height;
    const uint32_t side = std::max(w, h);
    const uint32_t margin =
        settings.wrap ? 0u : static_cast<uint32_t>(std::lround(t.margin_fraction * side));
    const uint32_t gw = settings.wrap ? w : FourierGrid::fast_size(w + 2 * margin);
    const uint32_t gh = settings.wrap ? h : FourierGrid::fast_size(h + 2 * margin);
    FourierGrid grid(gw, gh);
    if (!grid.valid()) return false;

    // Log luminance over the grid, mirrored past the edges of a clamped image.
    std::vector<float> lum(size_t{gw} * gh);
    std::vector<uint32_t> columns(gw);
    for (uint32_t x = 0; x < gw; ++x) columns[x] = fold(int64_t{x} - margin, w, settings.wrap);
    std::vector<float> line(w);
    for (uint32_t y = 0; y < gh; ++y) {
        const float* s = row_unchecked(src, fold(int64_t{y} - margin, h, settings.wrap));
        for (uint32_t x = 0; x < w; ++x) {
            const float r = clamp01(s[4 * x]), gr = clamp01(s[4 * x + 1]),
                        b = clamp01(s[4 * x + 2]);
            line[x] = std::log(std::max(0.114f * b + (0.299f * r + 0.587f * gr), t.floor));
        }
        float* out = lum.data() + size_t{y} * gw;
        for (uint32_t x = 0; x < gw; ++x) out[x] = line[columns[x]];
    }
    // The shading: luminance over its local geometric mean, which takes out the
    // colour and the illumination that vary slowly.
    std::vector<float> base = lum;
    const auto radius = static_cast<uint32_t>(
        std::max(1.0f, std::round(t.flatten_fraction * static_cast<float>(side))));
    periodic_blur(base, gw, gh, radius);
    for (uint32_t y = 0; y < gh; ++y) {
        Cell* g = grid.row(y);
        const float* l = lum.data() + size_t{y} * gw;
        const float* bl = base.data() + size_t{y} * gw;
        for (uint32_t x = 0; x < gw; ++x) g[x] = Cell(std::exp(l[x] - bl[x]) - 1.0f, 0.0f);
    }
    lum = {};
    base = {};
    grid.forward();

    const Light light = estimate_light(grid, t);
    // Slopes along the light from the shading, integrated: heights whose
    // derivative along the light is the shading, smeared a little across it and
    // held at long wavelengths; beside them, in the imaginary part, the shading
    // itself as heights (cavities darker under an even light).
    const float sigma = settings.smooth_size >= 3 ? static_cast<float>(settings.smooth_size) * t.smooth_factor
                                                  : 0.0f;
    const float mu = 1.0f / (static_cast<float>(radius) * static_cast<float>(radius));
    for (uint32_t y = 0; y < gh; ++y) {
        const float ky = frequency(y, gh);
        Cell* row = grid.row(y);
        for (uint32_t x = 0; x < gw; ++x) {
            const float kx = frequency(x, gw);
            const float kk = kx * kx + ky * ky;
            const float kd = kx * light.dx + ky * light.dy;
            const float smooth = std::exp(-0.5f * sigma * sigma * kk);
            const float along = kd / (kd * kd + t.perpendicular * kk + mu);
            const Cell s = row[x] * smooth;
            // sun = i * along * s; the result is sun + i * s.
            const Cell sun(-along * s.imag(), along * s.real());
            row[x] = Cell(sun.real() - s.imag(), sun.imag() + s.real());
        }
    }
    grid.row(0)[0] = Cell(0.0f, 0.0f);
    grid.inverse();

    const Moments sun = moments(grid, false, margin, margin, w, h);
    const Moments soft = moments(grid, true, margin, margin, w, h);
    // Relief is mostly broad tops cut by narrow hollows: of the two signs of
    // the light's axis, take the one that makes the heights skew low.
    // Which end of the axis the light comes from cannot be told from the
    // shading alone (a bump lit from one side looks like a hollow lit from the
    // other): the light is taken to come from above or from the left, as in
    // most photographs and in the usual convention of relief shading.
    const double sun_sign = -0.5 * light.dx - light.dy >= 0.0 ? 1.0 : -1.0;
    const double wsun = sun.gradient > 0.0 ? sun_sign * light.directional / sun.gradient : 0.0;
    const double wsoft = soft.gradient > 0.0 ? (1.0 - light.directional) / soft.gradient : 0.0;
    if (std::getenv("RK_DELIT_DEBUG")) {
        std::fprintf(stderr, "light %.2f %.2f ratio %.2f dir %.2f skew sun %.2f soft %.2f\n", light.dx, light.dy, light.ratio,
                     light.directional, sun.skew, soft.skew);
    }
    const auto ws = static_cast<float>(settings.invert ? -wsun : wsun);
    const auto wo = static_cast<float>(settings.invert ? -wsoft : wsoft);

    float lo = INFINITY, hi = -INFINITY;
    for (uint32_t y = 0; y < h; ++y) {
        const Cell* g = grid.row(y + margin) + margin;
        for (uint32_t x = 0; x < w; ++x) {
            const float v = ws * g[x].real() + wo * g[x].imag();
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    const float scale = hi > lo ? 1.0f / (hi - lo) : 0.0f;
    for (uint32_t y = 0; y < h; ++y) {
        const Cell* g = grid.row(y + margin) + margin;
        float* out = row_unchecked(dst, y);
        for (uint32_t x = 0; x < w; ++x) {
            const float v = ((ws * g[x].real() + wo * g[x].imag()) - lo) * scale;
            out[4 * x] = v;
            out[4 * x + 1] = v;
            out[4 * x + 2] = v;
            out[4 * x + 3] = 1.0f;
        }
    }
    return true;
}

}  // namespace

bool delit_heights(imgbuf* dst, const imgbuf* src, const DelitSettings& settings) noexcept {
    try {
        return run(dst, src, settings);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace rk
