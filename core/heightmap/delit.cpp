#include "heightmap/delit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "common/thread_pool.h"
#include "filter/spectral.h"
#include "imgbuf/luminance.h"

namespace rk {
namespace {

using Cell = std::complex<float>;

// Rows of a band of the per-pixel loops.
constexpr uint32_t kMinRows = 16;

// Tuning, chosen on bench/fidelity (see bench/README.md).
struct Tuning {
    float margin_fraction = 0.125f;    // mirrored border of a clamped image, of its larger side
    float margin_limit = 32.0f;        // ... in pixels at most
    float flatten_fraction = 0.0625f;  // width of the illumination and colour removed
    float floor = 1.0f / 255.0f;       // darkest luminance trusted
    float perpendicular = 0.05f;       // smear of the integration across the light
    float discern = 0.1f;              // the same in the test of how directional the light is
    // The shading's one-sidedness (see odd_signature) below which the light
    // counts as even, and above which as coming from one side. Renders under
    // an overcast sky stay below 0.05, low suns on relief with edges or
    // shadows reach 0.1 to 3.
    float odd_even = 0.1f;
    float odd_sun = 0.2f;
    // ... and how consistent it is over the picture's blocks (odd_signature),
    // in standard errors.
    float consistent_even = 2.0f;
    float consistent_sun = 3.0f;
    // The share of the shading's spectrum left unexplained by the best axis
    // (see estimate_axis): a relief without edges (smooth waves, rolling
    // grain) shows no one-sidedness, and its light counts as one-sided only
    // when one axis explains nearly all of the shading. Overcast renders of
    // patterned surfaces (joints, planks, ripples) leave down to 0.16.
    float unexplained_even = 0.14f;
    float unexplained_sun = 0.12f;
    float band_low = 4.0f;  // wavelengths (pixels) the light direction is read from
    float band_high = 64.0f;
    float smooth_factor = 0.33f;  // Gaussian sigma per pixel of smoothing size
};

// Three periodic box passes of radius r each way (r < w and r < h): close to a
// Gaussian of sigma sqrt(r (r + 1)). Running sums are in double and run in a
// fixed order; each row, and each column, is independent of the others.
void periodic_blur(std::vector<float>& img, uint32_t w, uint32_t h, uint32_t r) {
    const double norm = 1.0 / (2.0 * r + 1.0);
    std::vector<float> line(size_t{w} + 2 * r);
    std::vector<double> sums(w);
    std::vector<float> out(img.size());
    for (int pass = 0; pass < 3; ++pass) {
        for (uint32_t y = 0; y < h; ++y) {
            float* row = img.data() + size_t{y} * w;
            for (uint32_t i = 0; i < w + 2 * r; ++i) line[i] = row[(i + w - r) % w];
            double sum = 0.0;
            for (uint32_t i = 0; i < 2 * r; ++i) sum += line[i];
            for (uint32_t x = 0; x < w; ++x) {
                sum += line[x + 2 * r];
                row[x] = static_cast<float>(sum * norm);
                sum -= line[x];
            }
        }
        std::fill(sums.begin(), sums.end(), 0.0);
        for (uint32_t i = 0; i < 2 * r; ++i) {
            const float* row = img.data() + size_t{(i + h - r) % h} * w;
            for (uint32_t x = 0; x < w; ++x) sums[x] += row[x];
        }
        for (uint32_t y = 0; y < h; ++y) {
            const float* add = img.data() + size_t{(y + r) % h} * w;
            const float* sub = img.data() + size_t{(y + h - r) % h} * w;
            float* dst = out.data() + size_t{y} * w;
            for (uint32_t x = 0; x < w; ++x) {
                sums[x] += add[x];
                dst[x] = static_cast<float>(sums[x] * norm);
                sums[x] -= sub[x];
            }
        }
        img.swap(out);
    }
}

struct Light {
    float dx = 1.0f, dy = 0.0f;  // axis of the light's direction in the image plane
    float directional = 0.0f;    // 0 even light .. 1 one direction
};

// Rises from 0 at a to 1 at b (a > b allowed: falling measures).
float ramp(double v, float a, float b) {
    return std::clamp(static_cast<float>((v - a) / (static_cast<double>(b) - a)), 0.0f, 1.0f);
}

// The light's axis in the image plane, from the shading's spectrum. A light
// from one side makes the shading the relief's derivative along its axis, so
// the shading's energy at angle a from that axis falls off as cos^2 a. The axis
// is the one that leaves least of the shading unexplained by the regularised
// integration below: with E(theta) the energy at angle theta, it minimises
// F(phi) = sum E(theta) eps / (cos^2(theta - phi) + eps); *unexplained
// receives min F / sum E (1 when there is no shading). A patterned surface
// under an even light (joints in two directions, planks) has few directions
// of its own and leaves little unexplained too: the share alone cannot tell
// it from a lit one.
constexpr uint32_t kAngles = 180;

Light estimate_axis(FourierGrid& g, const Tuning& t, double* unexplained) {
    const float k_low = 2.0f * std::numbers::pi_v<float> / t.band_high;
    const float k_high = 2.0f * std::numbers::pi_v<float> / t.band_low;
    std::array<double, kAngles> energy{};
    // The half spectrum holds every direction once. Along its rows kx grows
    // from 0 (x up to width / 2), and so does kk: the band's cells of a row
    // are one run of columns, found by halving, so that only they are
    // visited (a fifth of the grid, in the same order as before).
    for (uint32_t y = 0; y < g.height(); ++y) {
        const float ky = frequency(y, g.height());
        const Cell* row = g.row(y);
        const auto kk_at = [&](uint32_t x) {
            const float kx = frequency(x, g.width());
            return kx * kx + ky * ky;
        };
        const auto first_where = [&](auto past) {
            uint32_t lo = 0, hi = g.columns();
            while (lo < hi) {
                const uint32_t mid = lo + (hi - lo) / 2;
                if (past(kk_at(mid))) hi = mid;
                else lo = mid + 1;
            }
            return lo;
        };
        const uint32_t x0 = first_where([&](float kk) { return kk >= k_low * k_low; });
        const uint32_t x1 = first_where([&](float kk) { return kk > k_high * k_high; });
        for (uint32_t x = x0; x < x1; ++x) {
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
    *unexplained = 1.0;
    if (!(total > 0.0)) return light;
    std::array<double, kAngles> f{};
    for (uint32_t i = 0; i < kAngles; ++i) {
        const double c = std::cos(std::numbers::pi * (i + 0.5) / kAngles);
        f[i] = t.discern / (c * c + t.discern);
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
    *unexplained = best / total;
    return light;
}

// The shading's one-sidedness: the vector mean of |g|^2 g over the shading's
// gradients g, over the mean of |g|^2 to the power 3/2 (a dimensionless
// vector). Whatever the relief, an even light lights it the same from every
// side, and for a relief that looks the same turned half round (joints,
// stones, dents, grain) this vector is near zero. A light from one side
// makes the steps in brightness one-sided along it: shadows cast on the
// ground end abruptly away from the light, edges turn abruptly into or out of
// the light. The vector's axis is then the light's, whether the relief's
// spectrum has directions of its own or not; which end depends on whether
// the sharp edges are crests or creases, so the end is settled elsewhere.
// Sums run in double over rows in order: the same for every thread count.
//
// A few sharp edges of the colour's own (stains, patches) can make the vector
// long under any light, but only in the parts of the picture that hold them;
// a light from one side makes every part one-sided the same way. So the
// picture is cut into kOddBlocks x kOddBlocks blocks and the consistency is
// how many standard errors the blocks' mean lies from zero along the vector:
// on the benchmark's renders, suns judged one-sided reach 3.6 to 22, overcast
// skies stay below 1.4, stains under an overcast sky 0.7. A periodic picture
// has no place to cut it: its blocks' spread is the mean over every position
// of the cut (see window_moments).
constexpr uint32_t kOddBlocks = 4;
constexpr uint32_t kOddBlockSide = 8;  // fewer pixels a block: no consistency test
constexpr double kLeastStep = 1e-3;     // root-mean-square step of the shading per pixel

struct Odd {
    double x = 0.0, y = 0.0;  // image frame, y down
    double strength = 0.0;
    double consistency = INFINITY;
};

// The shading's step at column c of a row, between its neighbours l and r and
// the rows above and below.
struct Step {
    float gx, gy, g2;
};

inline Step step_at(const float* up, const float* row, const float* down, uint32_t l, uint32_t r,
                    uint32_t c) noexcept {
    const float gx = 0.5f * (row[r] - row[l]);
    const float gy = 0.5f * (down[c] - up[c]);
    return {gx, gy, gx * gx + gy * gy};
}

// Sums of g2 gx and g2 gy over a window, squared and multiplied, each a mean
// over the window's positions.
struct WindowMoments {
    double xx = 0.0, xy = 0.0, yy = 0.0;
};

// A w x h picture at (x0, y0) of the grid, read as periodic: the grid
// columns left and right of each of its columns, round its edges, are worked
// out once.
struct PeriodicPicture {
    FourierGrid& g;
    uint32_t x0, y0, w, h;
    const uint32_t* left;
    const uint32_t* right;
};

// Adds sign times g2 gx and g2 gy of row y of the picture to cx and cy.
void add_odd_row(const PeriodicPicture& p, uint32_t y, double sign, double* cx, double* cy) {
    const float* up = p.g.real_row(p.y0 + (y + p.h - 1) % p.h);
    const float* row = p.g.real_row(p.y0 + y);
    const float* down = p.g.real_row(p.y0 + (y + 1) % p.h);
    for (uint32_t x = 0; x < p.w; ++x) {
        const Step s = step_at(up, row, down, p.left[x], p.right[x], p.x0 + x);
        cx[x] += sign * static_cast<double>(s.g2 * s.gx);
        cy[x] += sign * static_cast<double>(s.g2 * s.gy);
    }
}

// The moments of the sums over a bw x bh window of a periodic picture, at
// every one of its w x h positions: the same whichever pixel the picture
// starts at. Column sums run down the rows, the window's sum along each row
// of them; each of kOddBlocks bands of rows starts its sums afresh, so the
// order of the additions is the same for every thread count.
WindowMoments window_moments(const PeriodicPicture& p, uint32_t bw, uint32_t bh) {
    const uint32_t w = p.w, h = p.h;
    std::array<WindowMoments, kOddBlocks> bands{};
    parallel_for(kOddBlocks, [&](uint32_t band) noexcept {
        const auto ya = static_cast<uint32_t>(uint64_t{h} * band / kOddBlocks);
        const auto yb = static_cast<uint32_t>(uint64_t{h} * (band + 1) / kOddBlocks);
        std::vector<double> cx(w, 0.0), cy(w, 0.0);
        for (uint32_t i = 0; i < bh; ++i) {
            add_odd_row(p, (ya + i) % h, 1.0, cx.data(), cy.data());
        }
        WindowMoments m;
        for (uint32_t y = ya; y < yb; ++y) {
            double sx = 0.0, sy = 0.0;
            for (uint32_t x = 0; x < bw; ++x) sx += cx[x], sy += cy[x];
            // The column entering the window is bw ahead, round the edge.
            for (uint32_t x = 0, in = bw; x < w; ++x, in = in + 1 < w ? in + 1 : 0) {
                m.xx += sx * sx, m.xy += sx * sy, m.yy += sy * sy;
                sx += cx[in] - cx[x], sy += cy[in] - cy[x];
            }
            add_odd_row(p, y, -1.0, cx.data(), cy.data());
            add_odd_row(p, (y + bh) % h, 1.0, cx.data(), cy.data());
        }
        bands[band] = m;
    });
    WindowMoments all;
    for (const WindowMoments& m : bands) all.xx += m.xx, all.xy += m.xy, all.yy += m.yy;
    const double n = static_cast<double>(w) * h;
    return {all.xx / n, all.xy / n, all.yy / n};
}

// The square of a block's projection on the unit vector (ux, uy), as a mean
// over every position of the cut into blocks of a periodic picture. Windows
// of about a block's size, their sums scaled to a block's share of the
// picture, so that the mean projection is the fixed blocks' one.
double odd_square_per_block(const PeriodicPicture& p, double ux, double uy) {
    const uint32_t w = p.w, h = p.h;
    const uint32_t bw = (w + kOddBlocks / 2) / kOddBlocks, bh = (h + kOddBlocks / 2) / kOddBlocks;
    const WindowMoments m = window_moments(p, bw, bh);
    const double share = static_cast<double>(w) * h / (double{kOddBlocks} * kOddBlocks * bw * bh);
    return share * share * (ux * ux * m.xx + 2.0 * ux * uy * m.xy + uy * uy * m.yy);
}

Odd odd_signature(FourierGrid& g, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, bool wrap) {
    Odd odd;
    if (w < 3 || h < 3) return odd;
    // A periodic image is read round its edges (so that a photograph moved
    // round gives the same light); a clamped one inside its border.
    const uint32_t skip = wrap ? 0 : 1;
    std::vector<uint32_t> left(w), right(w);
    for (uint32_t x = 0; x < w; ++x) {
        left[x] = x0 + (x + w - 1) % w;
        right[x] = x0 + (x + 1) % w;
    }
    constexpr uint32_t nb = kOddBlocks;
    // Columns [edge[b], edge[b + 1]) form block column b.
    std::array<uint32_t, nb + 1> edge{};
    for (uint32_t b = 0; b <= nb; ++b) edge[b] = static_cast<uint32_t>((uint64_t{b} * w + nb - 1) / nb);
    std::array<double, nb * nb> bx{}, by{};
    // Each row of blocks sums its own rows in order, on its own thread, into
    // sums of its own until its last row: sums beside another thread's in one
    // cache line, written at every pixel, would pass the line to and fro. The
    // rows' squares are added up in row order.
    std::vector<double> row_m2(h, 0.0);
    parallel_for(nb, [&](uint32_t band) noexcept {
        std::array<double, nb> sx{}, sy{};
        for (uint32_t y = skip; y + skip < h; ++y) {
            if (uint64_t{y} * nb / h != band) continue;
            const float* up = g.real_row(y0 + (y + h - 1) % h);
            const float* row = g.real_row(y0 + y);
            const float* down = g.real_row(y0 + (y + 1) % h);
            double a2 = 0.0;
            for (uint32_t b = 0; b < nb; ++b) {
                double ax = sx[b], ay = sy[b];
                const uint32_t xa = std::max(edge[b], skip), xb = std::min(edge[b + 1], w - skip);
                for (uint32_t x = xa; x < xb; ++x) {
                    const Step s = step_at(up, row, down, left[x], right[x], x0 + x);
                    a2 += s.g2;
                    ax += static_cast<double>(s.g2 * s.gx);
                    ay += static_cast<double>(s.g2 * s.gy);
                }
                sx[b] = ax, sy[b] = ay;
            }
            row_m2[y] = a2;
        }
        for (uint32_t b = 0; b < nb; ++b) {
            bx[size_t{band} * nb + b] = sx[b];
            by[size_t{band} * nb + b] = sy[b];
        }
    });
    double m2 = 0.0;
    for (uint32_t y = skip; y + skip < h; ++y) m2 += row_m2[y];
    double vx = 0.0, vy = 0.0;
    for (uint32_t b = 0; b < nb * nb; ++b) vx += bx[b], vy += by[b];
    const double n = static_cast<double>(w - 2 * skip) * (h - 2 * skip);
    m2 /= n;
    // A shading with no steps to speak of (a smooth fall of the light, a
    // relief flatter than the photograph's levels) has no sides to tell.
    if (!(m2 > kLeastStep * kLeastStep)) return odd;
    odd.x = vx / n;
    odd.y = vy / n;
    const double len = std::hypot(odd.x, odd.y);
    odd.strength = len / (m2 * std::sqrt(m2));
    if (len > 0.0 && w >= nb * kOddBlockSide && h >= nb * kOddBlockSide) {
        // The blocks' projections on the vector: mean over standard error.
        double sum = 0.0, sq = 0.0;
        for (uint32_t b = 0; b < nb * nb; ++b) {
            const double p = (bx[b] * odd.x + by[b] * odd.y) / len;
            sum += p;
            sq += p * p;
        }
        const double k = nb * nb, mean = sum / k;
        if (wrap) {
            const PeriodicPicture picture{g, x0, y0, w, h, left.data(), right.data()};
            sq = k * odd_square_per_block(picture, odd.x / len, odd.y / len);
        }
        const double var = std::max(0.0, (sq - k * mean * mean) / (k - 1.0));
        odd.consistency = var > 0.0 ? mean / std::sqrt(var / k) : INFINITY;
    }
    return odd;
}

// The heights' correlation with the dark parts decides the light's end only
// when its cosine is at least this: the sums over the spectrum and over the
// picture then agree in sign with a margin of about a thousand times their
// rounding (single-precision transforms: about 1e-7 times log2 of the cells).
constexpr double kClearCosine = 1e-3;

// Writes the heights into dst and (when not null) the relief's shading factor
// of each pixel into shading (w * h floats), either or both. For the heights
// the light's end is
// read from the heights made for one end (see below) unless end_in_spectrum;
// *unclear (when not null) is set, dst left as it was, when that reading is
// too close to call.
bool run(imgbuf* dst, const imgbuf* src, const DelitSettings& settings, DelitLight* report,
         float* shading = nullptr, bool end_in_spectrum = true, bool* unclear = nullptr) {
    const Tuning t;
    const uint32_t w = src->width, h = src->height;
    const uint32_t side = std::max(w, h);
    // A periodic image is transformed as it is, unless a side has a large prime
    // factor (the transform's cost grows with its square): then, as a clamped
    // image, it is padded to a fast size, with its own continuation.
    const bool exact_wrap = settings.wrap && small_factors(w) && small_factors(h);
    const uint32_t margin =
        exact_wrap ? 0u
                   : static_cast<uint32_t>(std::lround(
                         std::min(t.margin_fraction * static_cast<float>(side), t.margin_limit)));
    // The real transform needs an even width: a periodic image of odd width is
    // laid twice side by side, which keeps it periodic.
    const uint32_t gw = !exact_wrap ? FourierGrid::fast_size(w + 2 * margin) : w % 2 ? 2 * w : w;
    const uint32_t gh = exact_wrap ? h : FourierGrid::fast_size(h + 2 * margin);
    FourierGrid grid(gw, gh);
    if (!grid.valid()) return false;

    // Luminance over the grid, mirrored past the edges of a clamped image,
    // continued periodically past those of a periodic one.
    std::vector<uint32_t> columns(gw);
    for (uint32_t x = 0; x < gw; ++x) columns[x] = fold(int64_t{x} - margin, w, settings.wrap);
    // The image's rows first; the rows past its edges are copies of them.
    const uint32_t image_bands = row_bands(h, kMinRows);
    std::vector<float> lines(size_t{w} * image_bands);
    parallel_bands(h, image_bands, [&](uint32_t band, uint32_t ya, uint32_t yb) noexcept {
        float* line = lines.data() + size_t{w} * band;
        for (uint32_t y = ya; y < yb; ++y) {
            const float* s = row_unchecked(src, y);
            for (uint32_t x = 0; x < w; ++x) {
                const float r = clamp01(s[4 * x]), gr = clamp01(s[4 * x + 1]),
                            b = clamp01(s[4 * x + 2]);
                line[x] = std::max(0.114f * b + (0.299f * r + 0.587f * gr), t.floor);
            }
            float* out = grid.real_row(margin + y);
            for (uint32_t x = 0; x < gw; ++x) out[x] = line[columns[x]];
        }
    });
    lines = {};
    for (uint32_t y = 0; y < gh; ++y) {
        if (y >= margin && y < margin + h) continue;
        const uint32_t from = margin + fold(int64_t{y} - margin, h, settings.wrap);
        std::memcpy(grid.real_row(y), grid.real_row(from), sizeof(float) * gw);
    }
    // The shading: luminance over its local mean, which takes out the colour and
    // the illumination that vary slowly.
    const uint32_t wanted =
        settings.radius ? settings.radius
                        : static_cast<uint32_t>(
                              std::max(1.0f, std::round(t.flatten_fraction * static_cast<float>(side))));
    const uint32_t radius = std::min(wanted, std::min(gw, gh) - 1);
    // The blur is smooth at the scale of its radius, so it is taken on a grid
    // coarser by f (a power of two dividing both sides, at most radius / 4) and
    // interpolated back.
    uint32_t f = 1;
    while (2 * f <= radius / 4 && gw % (2 * f) == 0 && gh % (2 * f) == 0) f *= 2;
    const uint32_t bw = gw / f, bh = gh / f;
    std::vector<float> base(size_t{bw} * bh);
    {
        const uint32_t bands = row_bands(bh, 1);
        std::vector<double> sums(size_t{bw} * bands);
        const double norm = 1.0 / (static_cast<double>(f) * f);
        parallel_bands(bh, bands, [&](uint32_t band, uint32_t ya, uint32_t yb) noexcept {
            double* acc = sums.data() + size_t{bw} * band;
            for (uint32_t cy = ya; cy < yb; ++cy) {
                std::fill(acc, acc + bw, 0.0);
                for (uint32_t r = 0; r < f; ++r) {
                    const float* l = grid.real_row(cy * f + r);
                    for (uint32_t cx = 0; cx < bw; ++cx) {
                        for (uint32_t i = 0; i < f; ++i) acc[cx] += l[cx * f + i];
                    }
                }
                float* b = base.data() + size_t{cy} * bw;
                for (uint32_t cx = 0; cx < bw; ++cx) b[cx] = static_cast<float>(acc[cx] * norm);
            }
        });
    }
    periodic_blur(base, bw, bh, std::min(radius / f, std::min(bw, bh) - 1));
    // Sample positions of the fine grid on the coarse one, wrapping around.
    auto taps = [f](uint32_t n, uint32_t coarse, std::vector<uint32_t>& i0,
                    std::vector<uint32_t>& i1, std::vector<float>& wt) {
        i0.resize(n);
        i1.resize(n);
        wt.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            const int64_t twice = 2 * int64_t{i} + 1 - int64_t{f};  // 2 f (position - 0.5)
            const int64_t lo = twice >= 0 ? twice / (2 * f) : -1;
            wt[i] = static_cast<float>(twice - lo * 2 * int64_t{f}) / static_cast<float>(2 * f);
            i0[i] = static_cast<uint32_t>((lo + coarse) % coarse);
            i1[i] = static_cast<uint32_t>((lo + 1) % coarse);
        }
    };
    std::vector<uint32_t> x0, x1, y0, y1;
    std::vector<float> wx, wy;
    taps(gw, bw, x0, x1, wx);
    taps(gh, bh, y0, y1, wy);
    // Past the edges of a clamped image the shading is taken as flat: a mirrored
    // shading would be the mirrored surface under a mirrored light, whose slopes
    // integrate into false steps along the edges.
    parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
        for (uint32_t y = ya; y < yb; ++y) {
            float* g = grid.real_row(y);
            const float* b0 = base.data() + size_t{y0[y]} * bw;
            const float* b1 = base.data() + size_t{y1[y]} * bw;
            const float v = wy[y], u = 1.0f - v;
            for (uint32_t x = 0; x < gw; ++x) {
                const float top = (1.0f - wx[x]) * b0[x0[x]] + wx[x] * b0[x1[x]];
                const float bottom = (1.0f - wx[x]) * b1[x0[x]] + wx[x] * b1[x1[x]];
                g[x] = g[x] / (u * top + v * bottom) - 1.0f;
            }
            if (settings.wrap) continue;
            if (y < margin || y >= margin + h) {
                std::fill(g, g + gw, 0.0f);
            } else {
                std::fill(g, g + margin, 0.0f);
                std::fill(g + margin + w, g + gw, 0.0f);
            }
        }
    });
    const bool given = std::isfinite(settings.azimuth);
    // Within the local mean's reach of a clamped image's edge, the shading
    // holds the mirror's step (a light falling off across the picture turns
    // into one-sided steps there): the signature is read inside that band
    // unless the image is too small to leave one.
    const uint32_t inset = settings.wrap || std::min(w, h) <= 4 * radius ? 0u : radius;
    const Odd odd = given ? Odd{}
                          : odd_signature(grid, margin + inset, margin + inset, w - 2 * inset,
                                          h - 2 * inset, settings.wrap);
    // The darker parts alone (the shading's negative part), for the end of the
    // axis when the light is not given. The relief's shading is the same from
    // either end (kd^2 below): when only that is asked for, the end is not
    // sought.
    const bool seeks_end = !given && (dst || report);
    // Heights need no transform of the dark parts: the correlation is the
    // same sum over the picture, of the heights made for one end times the
    // dark parts made again from the photograph (see end_from_heights).
    const bool end_from_heights = seeks_end && dst && !end_in_spectrum;
    std::unique_ptr<FourierGrid> dark;
    if (seeks_end && !end_from_heights) {
        dark = std::make_unique<FourierGrid>(gw, gh);
        if (!dark->valid()) return false;
        parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
            for (uint32_t y = ya; y < yb; ++y) {
                const float* g = grid.real_row(y);
                float* d = dark->real_row(y);
                for (uint32_t x = 0; x < gw; ++x) d[x] = std::min(g[x], 0.0f);
            }
        });
    }
    grid.forward();

    Light light;
    if (given) {
        // Image frame, y down: towards the light.
        const double a = static_cast<double>(settings.azimuth) * std::numbers::pi / 180.0;
        light.dx = static_cast<float>(std::cos(a));
        light.dy = static_cast<float>(-std::sin(a));
        light.directional = 1.0f;
    } else {
        // Two cues (see odd_signature and estimate_axis): the one-sidedness of
        // the shading's steps, which an even light does not give, and, for a
        // relief without edges, one axis explaining nearly all of the shading.
        double unexplained = 1.0;
        light = estimate_axis(grid, t, &unexplained);
        const float by_odd = ramp(odd.strength, t.odd_even, t.odd_sun) *
                             ramp(odd.consistency, t.consistent_even, t.consistent_sun);
        const float by_axis = ramp(unexplained, t.unexplained_even, t.unexplained_sun);
        if (by_odd >= by_axis && odd.strength > 0.0) {
            const double len = std::hypot(odd.x, odd.y);
            light.dx = static_cast<float>(odd.x / len);
            light.dy = static_cast<float>(odd.y / len);
        }
        light.directional = std::max(by_odd, by_axis);
        // Under an even light the heights are not these (the mode takes the
        // luminance map): none are made.
        if (!(light.directional > 0.0f) && (!shading || dst)) {
            if (shading) std::fill(shading, shading + size_t{w} * h, 1.0f);
            if (report) *report = {NAN, 0.0f};
            return true;
        }
        if (dark) dark->forward();
    }
    // The heights whose derivative along the light is the shading, smeared a
    // little across it and held at long wavelengths.
    // Sizes follow the blurs' rule: an even one takes one less.
    const uint32_t smooth_taps = settings.smooth_size - (settings.smooth_size % 2 == 0 ? 1 : 0);
    const float sigma = settings.smooth_size >= 3
                            ? static_cast<float>(smooth_taps) * t.smooth_factor
                            : 0.0f;
    const float mu = 1.0f / static_cast<float>(std::max(1u, radius * radius));
    const uint32_t gc = grid.columns();
    // The half spectrum holds once what the full one holds twice, but for its
    // first and last columns.
    std::vector<float> cw(gc, 2.0f);
    cw[0] = 1.0f;
    cw[gc - 1] = 1.0f;
    std::vector<float> fx(gc), gx(gc), fy(gh), gy(gh);
    for (uint32_t x = 0; x < gc; ++x) {
        fx[x] = frequency(x, gw);
        gx[x] = std::exp(-0.5f * sigma * sigma * fx[x] * fx[x]);
    }
    for (uint32_t y = 0; y < gh; ++y) {
        fy[y] = frequency(y, gh);
        gy[y] = std::exp(-0.5f * sigma * sigma * fy[y] * fy[y]);
    }
    auto along = [&](uint32_t x, uint32_t y) {
        const float kk = fx[x] * fx[x] + fy[y] * fy[y];
        const float kd = fx[x] * light.dx + fy[y] * light.dy;
        return kd / (kd * kd + t.perpendicular * kk + mu);
    };
    // Which end of the axis the light comes from (see delit.h): given, or the
    // end whose heights put the darker parts lower, by their correlation with
    // the shading's negative part (Parseval: the sum over the spectrum of the
    // heights times the dark part's conjugate).
    // Each row's sum in its order, the rows' in row order.
    double sun_sign = 1.0;
    if (dark) {
        std::vector<double> rows(gh);
        parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
            for (uint32_t y = ya; y < yb; ++y) {
                const Cell* row = grid.row(y);
                const Cell* d = dark->row(y);
                double acc = 0.0;
                for (uint32_t x = 0; x < gc; ++x) {
                    const Cell hs = Cell(0.0f, along(x, y)) * (row[x] * (gx[x] * gy[y]));
                    acc += static_cast<double>(cw[x] * (hs * std::conj(d[x])).real());
                }
                rows[y] = acc;
            }
        });
        double corr = 0.0;
        for (double acc : rows) corr += acc;
        sun_sign = corr >= 0.0 ? 1.0 : -1.0;
        dark.reset();
    }
    auto tell = [&] {
        if (!report) return;
        double az = std::atan2(-static_cast<double>(light.dy) * sun_sign,
                               static_cast<double>(light.dx) * sun_sign) *
                    180.0 / std::numbers::pi;
        if (az < 0.0) az += 360.0;
        // Lit straight along x, atan2 of a -0 gives -0, told as "-0": folded
        // to 0 as a given azimuth is (azimuth_within_a_turn).
        report->azimuth = !(light.directional > 0.0f)
                              ? NAN
                              : static_cast<float>(az >= 360.0 || az == 0.0 ? 0.0 : az);
        report->directional = light.directional;
    };
    if (!end_from_heights) tell();
    if (!dst && !shading) return true;  // the light was all that was asked for
    if (shading) {
        // The shading the directional reading explains: the shading's
        // spectrum times kd^2 / (kd^2 + perpendicular k^2 + mu), the
        // derivative along the light of the heights below; under an even
        // light none of it. With the heights too it is made from a copy of
        // the spectrum, which they go on to use.
        // Under an even light every cell is a finite value times 0 (the
        // luminance lies between the floor and 1, so the shading is finite),
        // whose transform is zeros: the factor is 1 without it.
        if (!(light.directional > 0.0f)) {
            std::fill(shading, shading + size_t{w} * h, 1.0f);
            return true;
        }
        std::unique_ptr<FourierGrid> copy;
        if (dst) {
            copy = std::make_unique<FourierGrid>(gw, gh);
            if (!copy->valid()) return false;
            parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
                for (uint32_t y = ya; y < yb; ++y) std::copy_n(grid.row(y), gc, copy->row(y));
            });
        }
        FourierGrid& spectrum = dst ? *copy : grid;
        const float norm = light.directional / (static_cast<float>(gw) * static_cast<float>(gh));
        parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
            for (uint32_t y = ya; y < yb; ++y) {
                Cell* row = spectrum.row(y);
                for (uint32_t x = 0; x < gc; ++x) {
                    const float kd = fx[x] * light.dx + fy[y] * light.dy;
                    row[x] *= norm * kd * along(x, y);
                }
            }
        });
        spectrum.row(0)[0] = Cell(0.0f, 0.0f);
        spectrum.inverse();
        parallel_rows(h, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
            for (uint32_t y = ya; y < yb; ++y) {
                const float* g = spectrum.real_row(y + margin) + margin;
                float* out = shading + size_t{y} * w;
                for (uint32_t x = 0; x < w; ++x) out[x] = 1.0f + g[x];
            }
        });
        if (!dst) return true;
    }
    auto ws = static_cast<float>(settings.invert ? -sun_sign : sun_sign);
    parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
        for (uint32_t y = ya; y < yb; ++y) {
            Cell* row = grid.row(y);
            for (uint32_t x = 0; x < gc; ++x) {
                const Cell s = row[x] * (gx[x] * gy[y]);
                // ws * i * along * s
                const float a = ws * along(x, y);
                row[x] = Cell(-a * s.imag(), a * s.real());
            }
        }
    });
    grid.row(0)[0] = Cell(0.0f, 0.0f);
    grid.inverse();
    if (end_from_heights) {
        // The heights of the end taken (sun_sign 1) against the dark parts,
        // the shading's negative part made again as above; a cell of a
        // clamped image's border holds no shading. Per row in order, then
        // the rows in order.
        std::vector<double> sums(3 * size_t{gh}, 0.0);
        parallel_rows(gh, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
            for (uint32_t y = ya; y < yb; ++y) {
                const bool inside = y >= margin && y < margin + h;
                if (!settings.wrap && !inside) continue;
                const float* s = row_unchecked(src, fold(int64_t{y} - margin, h, settings.wrap));
                const float* heights = grid.real_row(y);
                const float* b0 = base.data() + size_t{y0[y]} * bw;
                const float* b1 = base.data() + size_t{y1[y]} * bw;
                const float v = wy[y], u = 1.0f - v;
                const uint32_t xa = settings.wrap ? 0 : margin,
                               xb = settings.wrap ? gw : margin + w;
                double hd = 0.0, hh = 0.0, dd = 0.0;
                for (uint32_t x = xa; x < xb; ++x) {
                    const float* p = s + 4 * size_t{columns[x]};
                    const float r = clamp01(p[0]), gr = clamp01(p[1]), b = clamp01(p[2]);
                    const float l = std::max(0.114f * b + (0.299f * r + 0.587f * gr), t.floor);
                    const float top = (1.0f - wx[x]) * b0[x0[x]] + wx[x] * b0[x1[x]];
                    const float bottom = (1.0f - wx[x]) * b1[x0[x]] + wx[x] * b1[x1[x]];
                    const auto d =
                        static_cast<double>(std::min(l / (u * top + v * bottom) - 1.0f, 0.0f));
                    const auto e = static_cast<double>(heights[x]);
                    hd += e * d;
                    hh += e * e;
                    dd += d * d;
                }
                sums[3 * size_t{y}] = hd;
                sums[3 * size_t{y} + 1] = hh;
                sums[3 * size_t{y} + 2] = dd;
            }
        });
        double corr = 0.0, hh = 0.0, dd = 0.0;
        for (uint32_t y = 0; y < gh; ++y) {
            corr += sums[3 * size_t{y}];
            hh += sums[3 * size_t{y} + 1];
            dd += sums[3 * size_t{y} + 2];
        }
        corr *= ws;  // the heights were made for ws
        // No dark part: both sums are exactly 0 (the light's end then 1).
        if (dd > 0.0 && !(corr != 0.0 && std::abs(corr) >= kClearCosine * std::sqrt(hh * dd))) {
            if (unclear) *unclear = true;
            return true;
        }
        sun_sign = corr >= 0.0 ? 1.0 : -1.0;
        tell();
        // The other end's heights are these negated, bit for bit: every step
        // of the transform (sums and products, rounded to nearest) commutes
        // with the sign; only the mean's cell is +0 either way, which could
        // at most turn the sign of a height that is exactly 0.
        const auto want = static_cast<float>(settings.invert ? -sun_sign : sun_sign);
        if (want != ws) {
            parallel_rows(h, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
                for (uint32_t y = ya; y < yb; ++y) {
                    float* g = grid.real_row(y + margin) + margin;
                    for (uint32_t x = 0; x < w; ++x) g[x] = -g[x];
                }
            });
            ws = want;
        }
    }

    // Per row, then over the rows in order: min and max keep the first of
    // equal values (-0 before 0 or after), as one pass over the image would.
    std::vector<float> row_lo(h), row_hi(h);
    parallel_rows(h, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
        for (uint32_t y = ya; y < yb; ++y) {
            const float* g = grid.real_row(y + margin) + margin;
            float rl = INFINITY, rh = -INFINITY;
            for (uint32_t x = 0; x < w; ++x) {
                rl = std::min(rl, g[x]);
                rh = std::max(rh, g[x]);
            }
            row_lo[y] = rl;
            row_hi[y] = rh;
        }
    });
    float lo = INFINITY, hi = -INFINITY;
    for (uint32_t y = 0; y < h; ++y) {
        lo = std::min(lo, row_lo[y]);
        hi = std::max(hi, row_hi[y]);
    }
    const float scale = hi > lo ? 1.0f / (hi - lo) : 0.0f;
    parallel_rows(h, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
        for (uint32_t y = ya; y < yb; ++y) {
            const float* g = grid.real_row(y + margin) + margin;
            float* out = row_unchecked(dst, y);
            for (uint32_t x = 0; x < w; ++x) {
                const float v = (g[x] - lo) * scale;
                out[4 * x] = v;
                out[4 * x + 1] = v;
                out[4 * x + 2] = v;
                out[4 * x + 3] = 1.0f;
            }
        }
    });
    return true;
}

// The neighbours of i among n, clamped at the ends or, for a periodic image,
// round them.
uint32_t before(uint32_t i, uint32_t n, bool wrap) { return i ? i - 1 : wrap ? n - 1 : 0; }
uint32_t after(uint32_t i, uint32_t n, bool wrap) { return i + 1 < n ? i + 1 : wrap ? 0 : i; }

// Mean square central-difference gradient of red over the image, read round
// the edges of a periodic one (so that it is the same for the image moved
// round).
double mean_square_gradient(const imgbuf* img, bool wrap) {
    const uint32_t w = img->width, h = img->height;
    double sum = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        const float* up = row_unchecked(img, before(y, h, wrap));
        const float* row = row_unchecked(img, y);
        const float* down = row_unchecked(img, after(y, h, wrap));
        double acc = 0.0;
        for (uint32_t x = 0; x < w; ++x) {
            const float gx = 0.5f * (row[4 * after(x, w, wrap)] - row[4 * before(x, w, wrap)]);
            const float gy = 0.5f * (down[4 * x] - up[4 * x]);
            acc += static_cast<double>(gx * gx + gy * gy);
        }
        sum += acc;
    }
    return sum / (static_cast<double>(w) * h);
}

}  // namespace

bool delit_heights(imgbuf* dst, const imgbuf* src, const DelitSettings& settings,
                   DelitLight* light, float* shading) noexcept {
    try {
        bool unclear = false;
        // The second reading of an unclear end needs no shading: the first
        // made it, and it is the same from either end.
        if (!run(dst, src, settings, light, shading, false, &unclear)) return false;
        return !unclear || run(dst, src, settings, light);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool delit_light(const imgbuf* src, const DelitSettings& settings, DelitLight* light) noexcept {
    try {
        return run(nullptr, src, settings, light);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool delit_shading(const imgbuf* src, const DelitSettings& settings, float* shading,
                   DelitLight* light) noexcept {
    try {
        return run(nullptr, src, settings, light, shading);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void blend_even_heights(imgbuf* heights, const imgbuf* even, float directional,
                        bool wrap) noexcept {
    const uint32_t w = heights->width, h = heights->height;
    const double a = mean_square_gradient(heights, wrap), b = mean_square_gradient(even, wrap);
    const auto ws = static_cast<float>(a > 0.0 ? directional / std::sqrt(a) : 0.0);
    const auto we = static_cast<float>(b > 0.0 ? (1.0f - directional) / std::sqrt(b) : 0.0);
    float lo = INFINITY, hi = -INFINITY;
    for (uint32_t y = 0; y < h; ++y) {
        float* o = row_unchecked(heights, y);
        const float* e = row_unchecked(even, y);
        for (uint32_t x = 0; x < w; ++x) {
            const float v = ws * o[4 * x] + we * e[4 * x];
            o[4 * x] = v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    const float scale = hi > lo ? 1.0f / (hi - lo) : 0.0f;
    for (uint32_t y = 0; y < h; ++y) {
        float* o = row_unchecked(heights, y);
        for (uint32_t x = 0; x < w; ++x) {
            const float v = (o[4 * x] - lo) * scale;
            o[4 * x] = v;
            o[4 * x + 1] = v;
            o[4 * x + 2] = v;
            o[4 * x + 3] = 1.0f;
        }
    }
}

}  // namespace rk
