#include "heightmap/cavities.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <vector>

#include "common/thread_pool.h"
#include "heightmap/scratch.h"

namespace rk {
namespace {

// The typical q of a neighbourhood comes from histograms of q - 1 in steps
// of 1 / kBinsPerUnit up to 1: a neighbourhood darker than half its envelope
// almost everywhere counts as half (its darkening is taken as colour anyway).
constexpr uint32_t kBins = 256;
constexpr float kBinsPerUnit = 256.0f;
constexpr uint32_t kStripe = 32;     // columns a vertical pass handles at once
constexpr uint32_t kTilesAround = 2;  // tiles each way from a corner
constexpr uint32_t kMinRows = 16;     // rows of a band

uint32_t fold(int64_t i, uint32_t n, bool wrap) {
    if (wrap) {
        const int64_t m = i % n;
        return static_cast<uint32_t>(m < 0 ? m + n : m);
    }
    return static_cast<uint32_t>(std::clamp<int64_t>(i, 0, int64_t{n} - 1));
}

template <bool kMax>
float pick(float a, float b) {
    return kMax ? std::max(a, b) : std::min(a, b);
}

// out[i] = the largest (kMax) or smallest of pad[i .. i + 2r], for i < n, in
// about three comparisons each (van Herk, Gil and Werman): in blocks of
// 2r + 1, the running pick from each block's start (g) and from its end (e);
// a window spans at most two blocks. Each element is a group of `lanes`
// floats (one per column of a stripe) picked lane by lane.
template <bool kMax, uint32_t kLanes = 0>
void slide(const float* pad, uint32_t n, uint32_t r, uint32_t given_lanes, float* g, float* e,
           float* out) {
    // One lane known at compile time: no loop of one turn around every pick.
    const uint32_t lanes = kLanes ? kLanes : given_lanes;
    const size_t k = 2 * size_t{r} + 1, len = n + 2 * size_t{r};
    for (size_t b0 = 0; b0 < len; b0 += k) {
        const size_t b1 = std::min(len, b0 + k);
        std::copy(pad + b0 * lanes, pad + (b0 + 1) * lanes, g + b0 * lanes);
        for (size_t j = b0 + 1; j < b1; ++j) {
            for (uint32_t c = 0; c < lanes; ++c) {
                g[j * lanes + c] = pick<kMax>(g[(j - 1) * lanes + c], pad[j * lanes + c]);
            }
        }
        std::copy(pad + (b1 - 1) * lanes, pad + b1 * lanes, e + (b1 - 1) * lanes);
        for (size_t j = b1 - 1; j > b0; --j) {
            for (uint32_t c = 0; c < lanes; ++c) {
                e[(j - 1) * lanes + c] = pick<kMax>(e[j * lanes + c], pad[(j - 1) * lanes + c]);
            }
        }
    }
    for (size_t i = 0; i < n; ++i) {
        for (uint32_t c = 0; c < lanes; ++c) {
            out[i * lanes + c] = pick<kMax>(e[i * lanes + c], g[(i + 2 * r) * lanes + c]);
        }
    }
}

// Row by row, the pick over 2r + 1 of the n + 2r values that fill(y, line)
// lays out, n values handed to put(y, values).
template <bool kMax, class Fill, class Put>
void row_pass(uint32_t rows, size_t n, uint32_t r, Fill fill, Put put) {
    const size_t len = n + 2 * size_t{r};
    const uint32_t bands = row_bands(rows, kMinRows);
    std::vector<float> lines(4 * len * bands);
    parallel_bands(rows, bands, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        float* pad = lines.data() + 4 * len * b;
        for (uint32_t y = y0; y < y1; ++y) {
            fill(y, pad);
            slide<kMax, 1>(pad, static_cast<uint32_t>(n), r, 1, pad + len, pad + 2 * len,
                           pad + 3 * len);
            put(y, static_cast<const float*>(pad + 3 * len));
        }
    });
}

// The columns of img (h rows of width columns, stride; kept r rows past
// each edge through map, h + 4r rows) closed: the largest over 2r + 1 rows,
// h + 2r of them, then the smallest of those, h rows, in place. Each stripe of
// columns is read whole before it is written, and no other stripe reads it.
void close_columns(float* img, size_t stride, uint32_t columns, uint32_t h,
                   const std::vector<uint32_t>& map, uint32_t r) {
    const size_t len = map.size(), n = len - 2 * size_t{r};
    const uint32_t stripes = (columns + kStripe - 1) / kStripe;
    const uint32_t groups = row_bands(stripes, 1);
    std::vector<float> lines(3 * len * kStripe * groups);
    parallel_bands(stripes, groups, [&](uint32_t b, uint32_t s0, uint32_t s1) noexcept {
        float* pad = lines.data() + 3 * len * kStripe * b;
        float* g = pad + len * kStripe;
        float* e = g + len * kStripe;
        for (uint32_t s = s0; s < s1; ++s) {
            const uint32_t x0 = s * kStripe, lanes = std::min(kStripe, columns - x0);
            for (size_t j = 0; j < len; ++j) {
                const float* row = img + map[j] * stride + x0;
                std::copy(row, row + lanes, pad + j * lanes);
            }
            // slide reads g[i + 2r] before it writes g[i]: the picks can land in g.
            slide<true>(pad, static_cast<uint32_t>(n), r, lanes, g, e, g);
            slide<false>(g, h, r, lanes, pad, e, pad);
            for (size_t y = 0; y < h; ++y) {
                std::copy(pad + y * lanes, pad + (y + 1) * lanes, img + y * stride + x0);
            }
        }
    });
}

std::vector<uint32_t> folded(uint32_t n, uint32_t pad, bool wrap) {
    std::vector<uint32_t> map(n + 2 * size_t{pad});
    for (size_t j = 0; j < map.size(); ++j) map[j] = fold(static_cast<int64_t>(j) - pad, n, wrap);
    return map;
}

// How far the closing reaches along an axis of n pixels: a square wider than
// the image closes it as one of side 2n + 1 does, to the bit (edge pixels
// continued outwards, each pick over a window holding the whole line, or a
// whole period, is the same pick; beyond that only a run of equal columns
// grows). Capped, a strip of 200000 x 1 pixels needs no side of 2 x 6250
// columns per row (10 GB), and a long low one no passes of 4r rows.
uint32_t reach(uint32_t r, uint32_t n) { return std::min(r, n); }

// env = src closed with a square of side 2r + 1. The largest values are
// taken r pixels past the edges too (edge pixels continued outwards, or the
// opposite edge), so that the smallest of them sees the same neighbourhoods
// at an edge as inside: a picture darkening towards its edge is not lifted
// there.
// The rows' largest values, w + 2r per row, are kept in env (the middle w)
// and in sides (h rows of the r before and the r after), not in a plane of
// h (w + 2r) floats of the closing's own: beside the de-lit colour's planes
// that plane was the peak of a command making every map. Each column closes
// on its own, so both parts close as one plane would.
// env and src must not overlap; sides: scratch of h 2 reach(r, w) floats.
void close_square(const float* src, uint32_t w, uint32_t h, bool wrap, uint32_t r, float* sides,
                  float* env) {
    const uint32_t rh = reach(r, w), rv = reach(r, h);
    const size_t ew = w + 2 * size_t{rh}, sw = 2 * size_t{rh};
    const std::vector<uint32_t> across = folded(w, 2 * rh, wrap);
    row_pass<true>(
        h, ew, rh,
        [&](uint32_t y, float* line) noexcept {
            const float* s = src + size_t{y} * w;
            for (size_t j = 0; j < across.size(); ++j) line[j] = s[across[j]];
        },
        [&](uint32_t y, const float* v) noexcept {
            float* side = sides + y * sw;
            std::copy(v, v + rh, side);
            std::copy(v + rh, v + rh + w, env + size_t{y} * w);
            std::copy(v + rh + w, v + ew, side + rh);
        });
    const std::vector<uint32_t> down = folded(h, 2 * rv, wrap);
    close_columns(env, w, w, h, down, rv);
    close_columns(sides, sw, static_cast<uint32_t>(sw), h, down, rv);
    row_pass<false>(
        h, w, rh,
        [&](uint32_t y, float* line) noexcept {
            const float* side = sides + y * sw;
            std::copy(side, side + rh, line);
            std::copy(env + size_t{y} * w, env + size_t{y + 1} * w, line + rh);
            std::copy(side + rh, side + sw, line + rh + w);
        },
        [&](uint32_t y, const float* v) noexcept { std::copy(v, v + w, env + size_t{y} * w); });
}

// The median of the histogram's values, interpolated inside its bin.
float median_of(const std::array<uint32_t, kBins>& counts) {
    uint64_t total = 0;
    for (uint32_t c : counts) total += c;
    const double half = 0.5 * static_cast<double>(total);
    double below = 0.0;
    for (uint32_t b = 0; b < kBins; ++b) {
        if (counts[b] > 0 && below + counts[b] >= half) {
            const double inside = (half - below) / counts[b];
            return 1.0f + static_cast<float>((b + inside) / kBinsPerUnit);
        }
        below += counts[b];
    }
    return 1.0f;
}

// Per pixel position along one axis: the corner before it and the weight of
// the one after (corners at multiples of tile, pixels at their centres).
void corner_taps(uint32_t n, uint32_t tile, std::vector<uint32_t>& c0, std::vector<float>& t) {
    c0.resize(n);
    t.resize(n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t twice = 2 * uint64_t{i} + 1;  // 2 (i + 0.5)
        c0[i] = static_cast<uint32_t>(twice / (2 * uint64_t{tile}));
        t[i] = static_cast<float>(twice - 2 * uint64_t{tile} * c0[i]) /
               static_cast<float>(2 * tile);
    }
}

// Half the light's scale: side / 32 beside its side / 16, (scale + 1) / 2 of
// a given one, rounded alike.
uint32_t envelope_radius(uint32_t w, uint32_t h, uint32_t scale) {
    if (scale) return (scale + 1) / 2;
    const uint32_t side = std::max(w, h);
    return static_cast<uint32_t>(std::max(1.0f, std::round(static_cast<float>(side) / 32)));
}

bool run(const float* lum, uint32_t w, uint32_t h, bool wrap, uint32_t scale, float* factor,
         float* scratch) {
    const size_t pixels = size_t{w} * h;
    const uint32_t r = envelope_radius(w, h, scale);
    const uint32_t tile = r;
    // The smoothed luminance; written whole before it is read.
    std::optional<ScratchFloats> own;
    float* const smooth = scratch ? scratch : own.emplace(pixels).get();

    // 1-2-1 along rows, then columns; the neighbours' columns worked out once.
    // Each band keeps the row pass of three rows (the one above, its own, the
    // one below) in turn.
    const std::vector<uint32_t> across = folded(w, 1, wrap);
    auto along_row = [&](uint32_t y, float* o) noexcept {
        const float* s = lum + size_t{y} * w;
        auto at = [&](uint32_t x) noexcept {
            const float a = s[across[x]], c = s[across[x + 2]];
            o[x] = 0.25f * ((a + c) + 2.0f * s[x]);
        };
        at(0);
        // Inside the row the neighbours are the row's own.
        for (uint32_t x = 1; x + 1 < w; ++x) o[x] = 0.25f * ((s[x - 1] + s[x + 1]) + 2.0f * s[x]);
        if (w > 1) at(w - 1);
    };
    const uint32_t bands = row_bands(h, kMinRows);
    std::vector<float> rows(3 * size_t{w} * bands);
    parallel_bands(h, bands, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        float* a = rows.data() + 3 * size_t{w} * b;
        float* s = a + w;
        float* c = s + w;
        along_row(fold(int64_t{y0} - 1, h, wrap), a);
        along_row(y0, s);
        for (uint32_t y = y0; y < y1; ++y) {
            along_row(fold(int64_t{y} + 1, h, wrap), c);
            float* o = smooth + size_t{y} * w;
            for (uint32_t x = 0; x < w; ++x) o[x] = 0.25f * ((a[x] + c[x]) + 2.0f * s[x]);
            std::swap(a, s);
            std::swap(s, c);
        }
    });
    // The envelope, then q = envelope / luminance >= 1 (a closing never lowers
    // a value), in factor.
    {
        // The closing's sides; written whole before they are read.
        const ScratchFloats sides(size_t{h} * 2 * reach(r, w));
        close_square(smooth, w, h, wrap, r, sides.get(), factor);
    }
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        for (size_t i = size_t{y0} * w; i < size_t{y1} * w; ++i) factor[i] /= smooth[i];
    });
    own.reset();

    // Histograms of q per tile, then the median around each tile corner.
    const uint32_t nx = (w + tile - 1) / tile, ny = (h + tile - 1) / tile;
    // Each tile counts in kCounters histograms, pixel by pixel in turn: on a
    // smooth picture neighbours share a bin, and one histogram would make each
    // count wait for the one before.
    constexpr uint32_t kCounters = 4;
    constexpr uint32_t kRun = 64;
    std::vector<uint32_t> hist(size_t{nx} * ny * kCounters * kBins, 0);
    parallel_for(ny, [&](uint32_t ty) noexcept {
        for (uint32_t y = ty * tile; y < std::min(h, (ty + 1) * tile); ++y) {
            const float* q = factor + size_t{y} * w;
            for (uint32_t tx = 0; tx < nx; ++tx) {
                uint32_t* counts = hist.data() + (size_t{ty} * nx + tx) * kCounters * kBins;
                const uint32_t x1 = std::min(w, (tx + 1) * tile);
                // The bins of a run of pixels first (a loop the compiler
                // vectorises), then their counts.
                for (uint32_t x0 = tx * tile; x0 < x1; x0 += kRun) {
                    const uint32_t n = std::min(kRun, x1 - x0);
                    const float* run_q = q + x0;
                    int32_t bins[kRun];
                    for (uint32_t i = 0; i < n; ++i) {
                        const float v = std::min((run_q[i] - 1.0f) * kBinsPerUnit, kBins - 1.0f);
                        bins[i] = static_cast<int32_t>(std::max(0.0f, v));  // 0 .. kBins - 1
                    }
                    for (uint32_t i = 0; i < n; ++i) counts[((x0 + i) % kCounters) * kBins + bins[i]] += 1;
                }
            }
        }
        for (uint32_t tx = 0; tx < nx; ++tx) {  // the first histogram gets the others' counts
            uint32_t* counts = hist.data() + (size_t{ty} * nx + tx) * kCounters * kBins;
            for (uint32_t b = kBins; b < kCounters * kBins; ++b) counts[b % kBins] += counts[b];
        }
    });
    const uint32_t cx = nx + 1, cy = ny + 1;
    std::vector<float> median(size_t{cx} * cy);
    parallel_for(cy, [&](uint32_t j) noexcept {
        for (uint32_t i = 0; i < cx; ++i) {
            std::array<uint32_t, kBins> counts{};
            for (int64_t tj = int64_t{j} - kTilesAround; tj < int64_t{j} + kTilesAround; ++tj) {
                if (!wrap && (tj < 0 || tj >= ny)) continue;
                const uint32_t fy = fold(tj, ny, true);
                for (int64_t ti = int64_t{i} - kTilesAround; ti < int64_t{i} + kTilesAround; ++ti) {
                    if (!wrap && (ti < 0 || ti >= nx)) continue;
                    const uint32_t* t =
                        hist.data() + (size_t{fy} * nx + fold(ti, nx, true)) * kCounters * kBins;
                    for (uint32_t b = 0; b < kBins; ++b) counts[b] += t[b];
                }
            }
            median[size_t{j} * cx + i] = median_of(counts);
        }
    });
    hist = {};
    std::vector<uint32_t> x0, y0;
    std::vector<float> tx, ty;
    corner_taps(w, tile, x0, tx);
    corner_taps(h, tile, y0, ty);
    parallel_rows(h, kMinRows, [&](uint32_t ya, uint32_t yb) noexcept {
        for (uint32_t y = ya; y < yb; ++y) {
            const float* m0 = median.data() + size_t{y0[y]} * cx;
            const float* m1 = m0 + cx;
            const float v = ty[y], u = 1.0f - v;
            float* q = factor + size_t{y} * w;
            // Pixels [c tile, (c + 1) tile) lie between corners c and c + 1.
            for (uint32_t xa = 0; xa < w; xa += tile) {
                const uint32_t c = x0[xa], xb = std::min(w, xa + tile);
                const float p0 = m0[c], p1 = m0[c + 1], r0 = m1[c], r1 = m1[c + 1];
                for (uint32_t x = xa; x < xb; ++x) {
                    const float a = tx[x], b = 1.0f - a;
                    const float m = u * (b * p0 + a * p1) + v * (b * r0 + a * r1);
                    q[x] = std::min(1.0f, m / q[x]);
                }
            }
        }
    });
    return true;
}

}  // namespace

bool cavity_shading(const float* lum, uint32_t w, uint32_t h, bool wrap, uint32_t scale,
                    float* factor, float* scratch) noexcept {
    try {
        return run(lum, w, h, wrap, scale, factor, scratch);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace rk
