#include "save/bc_blocks.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace rk {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A sample in the formats' 0..255 scale; NaN fails both tests and becomes 0.
float to_255(float v) noexcept {
    return v > 0.0f ? (v < 1.0f ? v * 255.0f : 255.0f) : 0.0f;
}

int round_to(float v, int low, int high) noexcept {
    const float c = std::clamp(v, static_cast<float>(low), static_cast<float>(high));
    return static_cast<int>(c + 0.5f);
}

// Little-endian bit packing of a block.
struct BitWriter {
    uint8_t* out;
    uint32_t pos = 0;
    void put(uint32_t value, uint32_t bits) noexcept {
        for (uint32_t i = 0; i < bits; ++i, ++pos) {
            out[pos >> 3] =
                static_cast<uint8_t>(out[pos >> 3] | (((value >> i) & 1u) << (pos & 7)));
        }
    }
};

// ---- BC4 ----

// Endpoints and the 3-bit index of each sample, with the squared error.
struct Bc4Fit {
    int e0 = 0;
    int e1 = 0;
    float error = kInfinity;
    uint8_t index[16] = {};
    uint8_t level[16] = {};  // position between the endpoints (see the fits)
};

// The 8-level palette (e0 > e1): level l (0 at e1 .. 7 at e0) is
// (l e0 + (7 - l) e1) / 7, stored as index 1 for level 0, 0 for level 7 and
// 8 - l between them. The levels are evenly spaced, so rounding finds the nearest.
void fit8(const float v[16], int e0, int e1, Bc4Fit& fit) noexcept {
    const auto hi = static_cast<float>(e0);
    const auto lo = static_cast<float>(e1);
    const float scale = 7.0f / (hi - lo);
    float error = 0.0f;
    for (int i = 0; i < 16; ++i) {
        const int l = round_to((v[i] - lo) * scale, 0, 7);
        const float value = (static_cast<float>(l) * hi + static_cast<float>(7 - l) * lo) / 7.0f;
        error += (value - v[i]) * (value - v[i]);
        fit.level[i] = static_cast<uint8_t>(l);
        fit.index[i] = static_cast<uint8_t>(l == 7 ? 0 : l == 0 ? 1 : 8 - l);
    }
    fit.e0 = e0;
    fit.e1 = e1;
    fit.error = error;
}

// The 6-level palette (e0 <= e1): level l (0 at e0 .. 5 at e1) is
// ((5 - l) e0 + l e1) / 5, stored as index 0 for level 0, 1 for level 5 and l + 1
// between; indices 6 and 7 are black and white (level 255 marks them).
void fit6(const float v[16], int e0, int e1, Bc4Fit& fit) noexcept {
    const auto lo = static_cast<float>(e0);
    const auto hi = static_cast<float>(e1);
    const float scale = e1 > e0 ? 5.0f / (hi - lo) : 0.0f;
    float error = 0.0f;
    for (int i = 0; i < 16; ++i) {
        const int l = round_to((v[i] - lo) * scale, 0, 5);
        const float value = (static_cast<float>(5 - l) * lo + static_cast<float>(l) * hi) / 5.0f;
        const float inner = (value - v[i]) * (value - v[i]);
        const float black = v[i] * v[i];
        const float white = (255.0f - v[i]) * (255.0f - v[i]);
        const float least = std::min({inner, black, white});
        error += least;
        const bool interior = inner == least;
        fit.level[i] = static_cast<uint8_t>(interior ? l : 255);
        fit.index[i] = static_cast<uint8_t>(interior ? (l == 0   ? 0
                                                        : l == 5 ? 1
                                                                 : l + 1)
                                                     : (black == least ? 6 : 7));
    }
    fit.e0 = e0;
    fit.e1 = e1;
    fit.error = error;
}

// Least-squares endpoints (low, high) for the samples at the fit's levels, a
// level l standing for weight l / steps of high; false when every sample sits
// at one level.
bool refit(const float v[16], const Bc4Fit& fit, float steps, float& low, float& high) noexcept {
    float aa = 0.0f, ab = 0.0f, bb = 0.0f, av = 0.0f, bv = 0.0f;
    for (int i = 0; i < 16; ++i) {
        if (fit.level[i] == 255) continue;
        const float w = static_cast<float>(fit.level[i]) / steps;
        const float u = 1.0f - w;
        aa += u * u;
        ab += u * w;
        bb += w * w;
        av += u * v[i];
        bv += w * v[i];
    }
    const float det = aa * bb - ab * ab;
    if (!(det > 1e-6f)) return false;
    low = (av * bb - bv * ab) / det;
    high = (bv * aa - av * ab) / det;
    return true;
}

void keep_better(Bc4Fit& best, const Bc4Fit& candidate) noexcept {
    if (candidate.error < best.error) best = candidate;
}

// 8-level search: least squares twice from the extremes, then one step around.
void search8(const float v[16], float lo, float hi, Bc4Fit& best) noexcept {
    const auto try8 = [&](int e0, int e1) {
        e0 = std::clamp(e0, 0, 255);
        e1 = std::clamp(e1, 0, 255);
        if (e0 <= e1) {
            if (e1 >= 255) e1 = 254;
            e0 = e1 + 1;
        }
        Bc4Fit fit;
        fit8(v, e0, e1, fit);
        keep_better(best, fit);
        return fit;
    };
    Bc4Fit fit = try8(round_to(hi, 0, 255), round_to(lo, 0, 255));
    for (int round = 0; round < 2; ++round) {
        float low = 0.0f, high = 0.0f;
        if (!refit(v, fit, 7.0f, low, high)) break;
        fit = try8(round_to(high, 0, 255), round_to(low, 0, 255));
    }
    const int c0 = best.e0, c1 = best.e1;
    for (int d0 = -1; d0 <= 1; ++d0)
        for (int d1 = -1; d1 <= 1; ++d1)
            if ((d0 || d1) && c0 + d0 > c1 + d1) try8(c0 + d0, c1 + d1);
}

// 6-level search from a range: least squares once, then one step around.
void search6(const float v[16], float lo, float hi, Bc4Fit& best) noexcept {
    const auto try6 = [&](int e0, int e1) {
        Bc4Fit fit;
        fit6(v, std::clamp(std::min(e0, e1), 0, 255), std::clamp(std::max(e0, e1), 0, 255), fit);
        keep_better(best, fit);
        return fit;
    };
    const Bc4Fit fit = try6(round_to(lo, 0, 255), round_to(hi, 0, 255));
    float low = 0.0f, high = 0.0f;
    Bc4Fit local = fit;
    if (refit(v, fit, 5.0f, low, high)) local = try6(round_to(low, 0, 255), round_to(high, 0, 255));
    for (int d0 = -1; d0 <= 1; ++d0)
        for (int d1 = -1; d1 <= 1; ++d1)
            if (d0 || d1) try6(local.e0 + d0, local.e1 + d1);
}

// ---- BC7 mode 6 ----

constexpr int kWeights[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

// Two RGBA endpoints of 7 bits a channel plus one parity bit each: the
// channel's value is 2 q + p.
struct Bc7Fit {
    int q[2][4] = {};
    int p[2] = {};
    float error = kInfinity;
    uint8_t index[16] = {};
};

int endpoint_value(const Bc7Fit& fit, int e, int c) noexcept {
    return 2 * fit.q[e][c] + fit.p[e];
}

// The decoder's palette, then each pixel's nearest entry: the projection onto
// the line gives the candidate, its neighbours settle the uneven weights.
void fit_bc7(const float px[64], Bc7Fit& fit) noexcept {
    float palette[16][4];
    float d[4];
    float dd = 0.0f;
    for (int c = 0; c < 4; ++c) {
        const int a = endpoint_value(fit, 0, c);
        const int b = endpoint_value(fit, 1, c);
        for (int k = 0; k < 16; ++k) {
            palette[k][c] =
                static_cast<float>(((64 - kWeights[k]) * a + kWeights[k] * b + 32) >> 6);
        }
        d[c] = static_cast<float>(b - a);
        dd += d[c] * d[c];
    }
    const float scale = dd > 0.0f ? 15.0f / dd : 0.0f;
    float total = 0.0f;
    for (int i = 0; i < 16; ++i) {
        const float* p = px + 4 * i;
        float t = 0.0f;
        for (int c = 0; c < 4; ++c) t += (p[c] - palette[0][c]) * d[c];
        const int guess = round_to(t * scale, 0, 15);
        float least = kInfinity;
        int chosen = guess;
        for (int k = std::max(guess - 1, 0); k <= std::min(guess + 1, 15); ++k) {
            float e = 0.0f;
            for (int c = 0; c < 4; ++c) e += (palette[k][c] - p[c]) * (palette[k][c] - p[c]);
            if (e < least) {
                least = e;
                chosen = k;
            }
        }
        fit.index[i] = static_cast<uint8_t>(chosen);
        total += least;
    }
    fit.error = total;
}

// Quantises endpoint e to parity bit p; returns its squared rounding error.
float quantise(const float value[4], int p, int q[4]) noexcept {
    float error = 0.0f;
    for (int c = 0; c < 4; ++c) {
        q[c] = round_to((value[c] - static_cast<float>(p)) / 2.0f, 0, 127);
        const float back = static_cast<float>(2 * q[c] + p);
        error += (back - value[c]) * (back - value[c]);
    }
    return error;
}

// Endpoints with the parity bits that round each one best.
Bc7Fit nearest_endpoints(const float a[4], const float b[4]) noexcept {
    Bc7Fit fit;
    const float* ends[2] = {a, b};
    for (int e = 0; e < 2; ++e) {
        int q0[4], q1[4];
        const bool odd = quantise(ends[e], 1, q1) < quantise(ends[e], 0, q0);
        fit.p[e] = odd ? 1 : 0;
        std::copy_n(odd ? q1 : q0, 4, fit.q[e]);
    }
    return fit;
}

// The principal axis of the pixels (power iteration on their covariance) and
// the extremes of their projections on it.
void principal_ends(const float px[64], float a[4], float b[4]) noexcept {
    float mean[4] = {};
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 4; ++c) mean[c] += px[4 * i + c];
    for (float& m : mean) m /= 16.0f;
    float cov[4][4] = {};
    for (int i = 0; i < 16; ++i)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                cov[r][c] += (px[4 * i + r] - mean[r]) * (px[4 * i + c] - mean[c]);
    int widest = 0;
    for (int c = 1; c < 4; ++c) widest = cov[c][c] > cov[widest][widest] ? c : widest;
    float axis[4] = {cov[0][widest], cov[1][widest], cov[2][widest], cov[3][widest]};
    for (int it = 0; it < 8; ++it) {
        float next[4] = {};
        float norm = 0.0f;
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) next[r] += cov[r][c] * axis[c];
            norm = std::max(norm, std::fabs(next[r]));
        }
        if (!(norm > 0.0f)) break;
        for (int r = 0; r < 4; ++r) axis[r] = next[r] / norm;
    }
    float length = 0.0f;
    for (float x : axis) length += x * x;
    float tmin = 0.0f, tmax = 0.0f;
    if (length > 0.0f) {
        tmin = kInfinity;
        tmax = -kInfinity;
        for (int i = 0; i < 16; ++i) {
            float t = 0.0f;
            for (int c = 0; c < 4; ++c) t += (px[4 * i + c] - mean[c]) * axis[c];
            tmin = std::min(tmin, t / length);
            tmax = std::max(tmax, t / length);
        }
    }
    for (int c = 0; c < 4; ++c) {
        a[c] = std::clamp(mean[c] + tmin * axis[c], 0.0f, 255.0f);
        b[c] = std::clamp(mean[c] + tmax * axis[c], 0.0f, 255.0f);
    }
}

// Least-squares endpoints for the fit's weights; false when all pixels share one.
bool refit_bc7(const float px[64], const Bc7Fit& fit, float a[4], float b[4]) noexcept {
    float aa = 0.0f, ab = 0.0f, bb = 0.0f, av[4] = {}, bv[4] = {};
    for (int i = 0; i < 16; ++i) {
        const float w = static_cast<float>(kWeights[fit.index[i]]) / 64.0f;
        const float u = 1.0f - w;
        aa += u * u;
        ab += u * w;
        bb += w * w;
        for (int c = 0; c < 4; ++c) {
            av[c] += u * px[4 * i + c];
            bv[c] += w * px[4 * i + c];
        }
    }
    const float det = aa * bb - ab * ab;
    if (!(det > 1e-6f)) return false;
    for (int c = 0; c < 4; ++c) {
        a[c] = std::clamp((av[c] * bb - bv[c] * ab) / det, 0.0f, 255.0f);
        b[c] = std::clamp((bv[c] * aa - av[c] * ab) / det, 0.0f, 255.0f);
    }
    return true;
}

}  // namespace

void encode_bc4_block(const float values[16], uint8_t out[kBc4BlockBytes]) noexcept {
    float v[16];
    for (int i = 0; i < 16; ++i) v[i] = to_255(values[i]);
    const float lo = *std::min_element(v, v + 16);
    const float hi = *std::max_element(v, v + 16);
    Bc4Fit best;
    search8(v, lo, hi, best);
    search6(v, lo, hi, best);
    // Black and white serve the extremes; the inner range then spans the rest.
    float inner_lo = 255.0f, inner_hi = 0.0f;
    for (float x : v) {
        if (x < 16.0f || x > 239.0f) continue;
        inner_lo = std::min(inner_lo, x);
        inner_hi = std::max(inner_hi, x);
    }
    if (inner_lo <= inner_hi && (lo < 16.0f || hi > 239.0f)) search6(v, inner_lo, inner_hi, best);

    std::fill_n(out, kBc4BlockBytes, uint8_t{0});
    BitWriter bits{out};
    bits.put(static_cast<uint32_t>(best.e0), 8);
    bits.put(static_cast<uint32_t>(best.e1), 8);
    for (uint8_t index : best.index) bits.put(index, 3);
}

void encode_bc7_block(const float rgba[64], uint8_t out[kBc7BlockBytes]) noexcept {
    float px[64];
    for (int i = 0; i < 64; ++i) px[i] = to_255(rgba[i]);
    float a[4], b[4];
    principal_ends(px, a, b);
    Bc7Fit best = nearest_endpoints(a, b);
    fit_bc7(px, best);
    for (int round = 0; round < 2; ++round) {
        if (!refit_bc7(px, best, a, b)) break;
        const Bc7Fit start = best;
        for (int p0 = 0; p0 < 2; ++p0) {
            for (int p1 = 0; p1 < 2; ++p1) {
                Bc7Fit fit;
                fit.p[0] = p0;
                fit.p[1] = p1;
                quantise(a, p0, fit.q[0]);
                quantise(b, p1, fit.q[1]);
                fit_bc7(px, fit);
                if (fit.error < best.error) best = fit;
            }
        }
        if (best.error >= start.error) break;
    }
    // The first pixel's index is stored in 3 bits: its top bit must be 0,
    // which swapping the endpoints (and reversing the indices) ensures.
    if (best.index[0] >= 8) {
        std::swap(best.q[0], best.q[1]);
        std::swap(best.p[0], best.p[1]);
        for (uint8_t& index : best.index) index = static_cast<uint8_t>(15 - index);
    }
    std::fill_n(out, kBc7BlockBytes, uint8_t{0});
    BitWriter bits{out};
    bits.put(1u << 6, 7);  // mode 6
    for (int c = 0; c < 4; ++c) {
        bits.put(static_cast<uint32_t>(best.q[0][c]), 7);
        bits.put(static_cast<uint32_t>(best.q[1][c]), 7);
    }
    bits.put(static_cast<uint32_t>(best.p[0]), 1);
    bits.put(static_cast<uint32_t>(best.p[1]), 1);
    bits.put(best.index[0], 3);
    for (int i = 1; i < 16; ++i) bits.put(best.index[i], 4);
}

}  // namespace rk
