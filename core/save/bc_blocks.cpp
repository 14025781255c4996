#include "save/bc_blocks.h"

#include <emmintrin.h>

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

// The palette of endpoints e0, e1 in index order: e0 > e1 gives 8 levels
// from e0 to e1; otherwise 6 from e0 to e1, then black and white. Each level
// is an integer sum divided by 7 or 5 once (exact until the division), so four
// levels a vector are the levels one at a time.
void bc4_palette(int e0, int e1, float pal[8]) noexcept {
    const __m128 a = _mm_set1_ps(static_cast<float>(e0));
    const __m128 b = _mm_set1_ps(static_cast<float>(e1));
    pal[0] = static_cast<float>(e0);
    pal[1] = static_cast<float>(e1);
    if (e0 > e1) {
        const __m128 seven = _mm_set1_ps(7.0f);
        const __m128 low = _mm_add_ps(_mm_mul_ps(_mm_setr_ps(6, 5, 4, 3), a),
                                      _mm_mul_ps(_mm_setr_ps(1, 2, 3, 4), b));
        const __m128 high = _mm_add_ps(_mm_mul_ps(_mm_setr_ps(2, 1, 0, 0), a),
                                       _mm_mul_ps(_mm_setr_ps(5, 6, 0, 0), b));
        _mm_storeu_ps(pal + 2, _mm_div_ps(low, seven));
        alignas(16) float rest[4];
        _mm_store_ps(rest, _mm_div_ps(high, seven));
        pal[6] = rest[0];
        pal[7] = rest[1];
    } else {
        const __m128 mid = _mm_add_ps(_mm_mul_ps(_mm_setr_ps(4, 3, 2, 1), a),
                                      _mm_mul_ps(_mm_setr_ps(1, 2, 3, 4), b));
        _mm_storeu_ps(pal + 2, _mm_div_ps(mid, _mm_set1_ps(5.0f)));
        pal[6] = 0.0f;
        pal[7] = 255.0f;
    }
}

// Each sample's nearest palette entry (the first of equals). Four samples a
// vector, each with the same operations as one alone.
void bc4_assign(const float v[16], const float pal[8], uint8_t index[16]) noexcept {
    __m128 x[4], least[4];
    __m128i chosen[4];
    const __m128 p0 = _mm_set1_ps(pal[0]);
    for (int j = 0; j < 4; ++j) {
        x[j] = _mm_loadu_ps(v + 4 * j);
        const __m128 d = _mm_sub_ps(x[j], p0);
        least[j] = _mm_mul_ps(d, d);
        chosen[j] = _mm_setzero_si128();
    }
    for (int k = 1; k < 8; ++k) {
        const __m128 p = _mm_set1_ps(pal[k]);
        const __m128i kk = _mm_set1_epi32(k);
        for (int j = 0; j < 4; ++j) {
            const __m128 d = _mm_sub_ps(x[j], p);
            const __m128 e = _mm_mul_ps(d, d);
            const __m128i closer = _mm_castps_si128(_mm_cmplt_ps(e, least[j]));
            chosen[j] =
                _mm_or_si128(_mm_and_si128(closer, kk), _mm_andnot_si128(closer, chosen[j]));
            least[j] = _mm_min_ps(e, least[j]);
        }
    }
    // Indices 0..7: packing keeps them.
    const __m128i low = _mm_packs_epi32(chosen[0], chosen[1]);
    const __m128i high = _mm_packs_epi32(chosen[2], chosen[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(index), _mm_packus_epi16(low, high));
}

// The squared error of each sample's nearest palette entry, added in sample
// order: the searches weigh hundreds of pairs a block and need no indices
// but the winner's (bc4_assign).
float bc4_error(const float v[16], const float pal[8]) noexcept {
    __m128 x[4], least[4];
    const __m128 p0 = _mm_set1_ps(pal[0]);
    for (int j = 0; j < 4; ++j) {
        x[j] = _mm_loadu_ps(v + 4 * j);
        const __m128 d = _mm_sub_ps(x[j], p0);
        least[j] = _mm_mul_ps(d, d);
    }
    for (int k = 1; k < 8; ++k) {
        const __m128 p = _mm_set1_ps(pal[k]);
        for (int j = 0; j < 4; ++j) {
            const __m128 d = _mm_sub_ps(x[j], p);
            least[j] = _mm_min_ps(_mm_mul_ps(d, d), least[j]);
        }
    }
    alignas(16) float errors[16];
    for (int j = 0; j < 4; ++j) _mm_store_ps(errors + 4 * j, least[j]);
    float sum = 0.0f;
    for (int i = 0; i < 16; ++i) sum += errors[i];
    return sum;
}

// Each index's weights on e0 (u) and e1 (w) where the palette puts it. Black
// and white (indices 6 and 7 of six levels) do not move: both 0, which adds
// nothing to the sums (every term is at least 0). A table, not a division and
// two branches on the index per sample.
struct Bc4Weights {
    float u[8], w[8];
};

constexpr Bc4Weights bc4_weights(bool eight) {
    Bc4Weights t{};
    const float steps = eight ? 7.0f : 5.0f;
    for (int k = 0; k < 8; ++k) {
        if (!eight && k >= 6) continue;
        t.w[k] = k == 0 ? 0.0f : k == 1 ? 1.0f : static_cast<float>(k - 1) / steps;
        t.u[k] = 1.0f - t.w[k];
    }
    return t;
}

constexpr Bc4Weights kBc4Eight = bc4_weights(true), kBc4Six = bc4_weights(false);

// The endpoint search of one block: errors of the pairs tried so far are kept
// (a small open-addressed table), since the searches meet the same pairs often.
class Bc4Search {
  public:
    explicit Bc4Search(const float v[16]) noexcept : v_(v) {}

    float error(int e0, int e1) noexcept {
        const uint32_t key = 1u + (static_cast<uint32_t>(e0) << 8 | static_cast<uint32_t>(e1));
        uint32_t slot = (key * 2654435761u) >> 25;
        for (int probe = 0; probe < 8; ++probe, slot = (slot + 1) & 127u) {
            if (keys_[slot] == key) return errors_[slot];
            if (keys_[slot] == 0) break;
        }
        float pal[8];
        bc4_palette(e0, e1, pal);
        const float e = bc4_error(v_, pal);
        if (keys_[slot] == 0) {
            keys_[slot] = key;
            errors_[slot] = e;
        }
        if (e < best_error) {
            best_error = e;
            best_e0 = e0;
            best_e1 = e1;
        }
        return e;
    }

    // refit, kept per pair: the starts of a palette often settle on the
    // same pair, and each then refits from it once more before stopping (a
    // fifth of a normal map's refits).
    bool refit_once(int& e0, int& e1) noexcept {
        const uint32_t key = 1u + (static_cast<uint32_t>(e0) << 8 | static_cast<uint32_t>(e1));
        uint32_t slot = (key * 2654435761u) >> 26;
        for (int probe = 0; probe < 4; ++probe, slot = (slot + 1) & 63u) {
            if (refit_keys_[slot] == key) {
                const uint32_t got = refit_got_[slot];
                if (!got) return false;
                e0 = static_cast<int>(got >> 8 & 255u), e1 = static_cast<int>(got & 255u);
                return true;
            }
            if (refit_keys_[slot] == 0) break;
        }
        const bool ok = refit(e0, e1);
        if (refit_keys_[slot] == 0) {
            refit_keys_[slot] = key;
            refit_got_[slot] =
                ok ? 1u << 16 | static_cast<uint32_t>(e0) << 8 | static_cast<uint32_t>(e1) : 0u;
        }
        return ok;
    }

    // Least-squares endpoints for the samples' nearest entries of (e0, e1),
    // rounded; false when the samples sit at one level.
    bool refit(int& e0, int& e1) const noexcept {
        float pal[8];
        uint8_t index[16];
        bc4_palette(e0, e1, pal);
        bc4_assign(v_, pal, index);
        const Bc4Weights& weights = e0 > e1 ? kBc4Eight : kBc4Six;
        float aa = 0.0f, ab = 0.0f, bb = 0.0f, av = 0.0f, bv = 0.0f;
        for (int i = 0; i < 16; ++i) {
            const float u = weights.u[index[i]], w = weights.w[index[i]];
            aa += u * u;
            ab += u * w;
            bb += w * w;
            av += u * v_[i];
            bv += w * v_[i];
        }
        const float det = aa * bb - ab * ab;
        if (!(det > 1e-6f)) return false;
        const int a = round_to((av * bb - bv * ab) / det, 0, 255);
        const int b = round_to((bv * aa - av * ab) / det, 0, 255);
        const bool eight = e0 > e1;
        e0 = eight ? std::max(a, b) : std::min(a, b);
        e1 = eight ? std::min(a, b) : std::max(a, b);
        if (eight && e0 == e1) e0 < 255 ? ++e0 : --e1;
        return true;
    }

    // Least squares until it stops improving (at most 4 rounds).
    void settle(int& e0, int& e1) noexcept {
        float e = error(e0, e1);
        for (int round = 0; round < 4; ++round) {
            int a = e0, b = e1;
            if (!refit_once(a, b)) return;
            const float next = error(a, b);
            if (!(next < e)) return;
            e0 = a, e1 = b, e = next;
        }
    }

    // Steps to the best of the eight neighbouring pairs of the same palette
    // while that improves (at most 16 steps).
    void climb(int e0, int e1) noexcept {
        const bool eight = e0 > e1;
        float e = error(e0, e1);
        for (int step = 0; step < 16; ++step) {
            int n0 = e0, n1 = e1;
            float ne = e;
            for (int d0 = -1; d0 <= 1; ++d0) {
                for (int d1 = -1; d1 <= 1; ++d1) {
                    const int a = e0 + d0, b = e1 + d1;
                    if (a < 0 || a > 255 || b < 0 || b > 255 || (a > b) != eight) continue;
                    const float f = error(a, b);
                    if (f < ne) n0 = a, n1 = b, ne = f;
                }
            }
            if (!(ne < e)) return;
            e0 = n0, e1 = n1, e = ne;
        }
    }

    float best_error = kInfinity;
    int best_e0 = 0;
    int best_e1 = 0;

  private:
    const float* v_;
    uint32_t keys_[128] = {};
    float errors_[128] = {};
    uint32_t refit_keys_[64] = {};
    uint32_t refit_got_[64] = {};  // 1 << 16 | e0 << 8 | e1, or 0: no refit
};

// Runs one palette's starts: least squares from each, then a climb from the
// one that settled best.
template <int N>
void search_palette(Bc4Search& search, const int (&starts)[N][2]) noexcept {
    int best[2] = {starts[0][0], starts[0][1]};
    float least = kInfinity;
    for (const auto& start : starts) {
        int e0 = start[0], e1 = start[1];
        search.settle(e0, e1);
        const float e = search.error(e0, e1);
        if (e < least) best[0] = e0, best[1] = e1, least = e;
    }
    search.climb(best[0], best[1]);
}

// ---- BC7: mode 6 (one RGBA line) and mode 5 (an RGB line and a separate
// scalar, either channel rotated into the scalar's place) ----

// How a line's endpoints are stored: 7 bits and a parity bit shared by the
// endpoint's channels (mode 6), 7 bits widened by repeating the top bit (mode
// 5's colour), or 8 bits (mode 5's scalar).
enum class Quant { seven_parity, seven, eight };

struct LineSpec {
    int channels;
    int levels;  // 16 or 4
    Quant quant;
};

constexpr int kWeights16[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};
constexpr int kWeights4[4] = {0, 21, 43, 64};

const int* weights_of(const LineSpec& form) noexcept {
    return form.levels == 16 ? kWeights16 : kWeights4;
}

// A line's stored endpoints (code), their 8-bit values, the samples' indices
// and the squared error.
struct LineFit {
    int code[2][4] = {};
    int value[2][4] = {};
    int parity[2] = {};
    uint8_t index[16] = {};
    float error = kInfinity;
};

// Stores endpoint e near `want` (0..255 per channel); returns the squared error.
float quantise(const LineSpec& form, const float want[4], int parity, int e,
               LineFit& fit) noexcept {
    float error = 0.0f;
    for (int c = 0; c < form.channels; ++c) {
        int code = 0, value = 0;
        switch (form.quant) {
            case Quant::seven_parity:
                code = round_to((want[c] - static_cast<float>(parity)) / 2.0f, 0, 127);
                value = 2 * code + parity;
                break;
            case Quant::seven:
                code = round_to(want[c] / 2.0f, 0, 127);
                // The widening rounds down near the top: the neighbour may be nearer.
                for (int near = std::max(code - 1, 0); near <= std::min(code + 1, 127); ++near) {
                    const int v = near << 1 | near >> 6;
                    if (std::fabs(static_cast<float>(v) - want[c]) <
                        std::fabs(static_cast<float>(code << 1 | code >> 6) - want[c]))
                        code = near;
                }
                value = code << 1 | code >> 6;
                break;
            case Quant::eight:
                code = value = round_to(want[c], 0, 255);
                break;
        }
        fit.code[e][c] = code;
        fit.value[e][c] = value;
        const float d = static_cast<float>(value) - want[c];
        error += d * d;
    }
    fit.parity[e] = parity;
    return error;
}

// The decoder's palette, then each sample's nearest entry: the projection onto
// the line gives the candidate, its neighbours settle the uneven weights.
void assign(const LineSpec& form, const float* px, LineFit& fit) noexcept {
    const int* w = weights_of(form);
    const int n = form.channels;
    float palette[16][4];
    float d[4] = {};
    float dd = 0.0f;
    for (int c = 0; c < n; ++c) {
        const int a = fit.value[0][c], b = fit.value[1][c];
        for (int k = 0; k < form.levels; ++k) {
            palette[k][c] = static_cast<float>(((64 - w[k]) * a + w[k] * b + 32) >> 6);
        }
        d[c] = static_cast<float>(b - a);
        dd += d[c] * d[c];
    }
    const float scale = dd > 0.0f ? static_cast<float>(form.levels - 1) / dd : 0.0f;
    float total = 0.0f;
    for (int i = 0; i < 16; ++i) {
        const float* p = px + 4 * i;
        float t = 0.0f;
        for (int c = 0; c < n; ++c) t += (p[c] - palette[0][c]) * d[c];
        const int guess = round_to(t * scale, 0, form.levels - 1);
        float least = kInfinity;
        int chosen = guess;
        for (int k = std::max(guess - 1, 0); k <= std::min(guess + 1, form.levels - 1); ++k) {
            float e = 0.0f;
            for (int c = 0; c < n; ++c) e += (palette[k][c] - p[c]) * (palette[k][c] - p[c]);
            if (e < least) least = e, chosen = k;
        }
        fit.index[i] = static_cast<uint8_t>(chosen);
        total += least;
    }
    fit.error = total;
}

// The samples' principal axis (power iteration on their covariance) and the
// extremes of their projections on it.
void principal_ends(const float* px, int n, float a[4], float b[4]) noexcept {
    float mean[4] = {};
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < n; ++c) mean[c] += px[4 * i + c];
    for (float& m : mean) m /= 16.0f;
    float cov[4][4] = {};
    for (int i = 0; i < 16; ++i)
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c)
                cov[r][c] += (px[4 * i + r] - mean[r]) * (px[4 * i + c] - mean[c]);
    int widest = 0;
    for (int c = 1; c < n; ++c) widest = cov[c][c] > cov[widest][widest] ? c : widest;
    float axis[4] = {};
    for (int r = 0; r < n; ++r) axis[r] = cov[r][widest];
    for (int it = 0; it < 8; ++it) {
        float next[4] = {};
        float norm = 0.0f;
        for (int r = 0; r < n; ++r) {
            for (int c = 0; c < n; ++c) next[r] += cov[r][c] * axis[c];
            norm = std::max(norm, std::fabs(next[r]));
        }
        if (!(norm > 0.0f)) break;
        for (int r = 0; r < n; ++r) axis[r] = next[r] / norm;
    }
    float length = 0.0f;
    for (int c = 0; c < n; ++c) length += axis[c] * axis[c];
    float tmin = 0.0f, tmax = 0.0f;
    if (length > 0.0f) {
        tmin = kInfinity;
        tmax = -kInfinity;
        for (int i = 0; i < 16; ++i) {
            float t = 0.0f;
            for (int c = 0; c < n; ++c) t += (px[4 * i + c] - mean[c]) * axis[c];
            tmin = std::min(tmin, t / length);
            tmax = std::max(tmax, t / length);
        }
    }
    for (int c = 0; c < n; ++c) {
        a[c] = std::clamp(mean[c] + tmin * axis[c], 0.0f, 255.0f);
        b[c] = std::clamp(mean[c] + tmax * axis[c], 0.0f, 255.0f);
    }
}

// Least-squares endpoints for the fit's weights; false when all samples share one.
bool refit_line(const LineSpec& form, const float* px, const LineFit& fit, float a[4],
                float b[4]) noexcept {
    const int* w = weights_of(form);
    float aa = 0.0f, ab = 0.0f, bb = 0.0f, av[4] = {}, bv[4] = {};
    for (int i = 0; i < 16; ++i) {
        const float t = static_cast<float>(w[fit.index[i]]) / 64.0f;
        const float u = 1.0f - t;
        aa += u * u;
        ab += u * t;
        bb += t * t;
        for (int c = 0; c < form.channels; ++c) {
            av[c] += u * px[4 * i + c];
            bv[c] += t * px[4 * i + c];
        }
    }
    const float det = aa * bb - ab * ab;
    if (!(det > 1e-6f)) return false;
    for (int c = 0; c < form.channels; ++c) {
        a[c] = std::clamp((av[c] * bb - bv[c] * ab) / det, 0.0f, 255.0f);
        b[c] = std::clamp((bv[c] * aa - av[c] * ab) / det, 0.0f, 255.0f);
    }
    return true;
}

// The parity bits a mode 6 block may use: a block whose alpha is all 255
// (opaque) or all 0 keeps it exactly only with both bits 1 or both 0; the
// other choices would decode it as 254 or 1, an opaque photograph partly
// translucent. Other blocks: both bits free.
struct Parities {
    int first = 0, last = 1;
};

// An alpha that rounds to 255 (or to 0) counts as opaque (or clear): a resampled
// or filtered opaque image carries alphas like 0.99999994 that its 8-bit
// output stores as 255, and the block must not decode them as 254.
constexpr float kRoundsToOpaque = 254.5f;
constexpr float kRoundsToClear = 0.5f;

Parities parities_of(const LineSpec& form, const float* px) noexcept {
    if (form.quant != Quant::seven_parity) return {0, 0};
    bool opaque = true, clear = true;
    for (int i = 0; i < 16; ++i) {
        opaque &= px[4 * i + 3] >= kRoundsToOpaque;
        clear &= px[4 * i + 3] < kRoundsToClear;
    }
    return opaque ? Parities{1, 1} : clear ? Parities{0, 0} : Parities{};
}

// Endpoints for a and b: with parity bits, each allowed choice is tried.
LineFit fit_ends(const LineSpec& form, const float* px, const float a[4],
                 const float b[4]) noexcept {
    LineFit best;
    const Parities parities = parities_of(form, px);
    for (int p0 = parities.first; p0 <= parities.last; ++p0) {
        for (int p1 = parities.first; p1 <= parities.last; ++p1) {
            LineFit fit;
            quantise(form, a, p0, 0, fit);
            quantise(form, b, p1, 1, fit);
            assign(form, px, fit);
            if (fit.error < best.error) best = fit;
        }
    }
    return best;
}

// A line through the samples' first form.channels channels (px holds four a
// sample): principal axis, then least squares twice.
LineFit fit_line(const LineSpec& form, const float* px) noexcept {
    float a[4] = {}, b[4] = {};
    principal_ends(px, form.channels, a, b);
    LineFit best = fit_ends(form, px, a, b);
    for (int round = 0; round < 2 && refit_line(form, px, best, a, b); ++round) {
        const LineFit next = fit_ends(form, px, a, b);
        if (!(next.error < best.error)) break;
        best = next;
    }
    // The first sample's index loses its top bit in the block: swapping the
    // endpoints (and reversing the indices) keeps that bit 0.
    if (best.index[0] >= form.levels / 2) {
        std::swap(best.code[0], best.code[1]);
        std::swap(best.value[0], best.value[1]);
        std::swap(best.parity[0], best.parity[1]);
        for (uint8_t& index : best.index) index = static_cast<uint8_t>(form.levels - 1 - index);
    }
    return best;
}

constexpr LineSpec kMode6{4, 16, Quant::seven_parity};
constexpr LineSpec kMode5Colour{3, 4, Quant::seven};
constexpr LineSpec kMode5Scalar{1, 4, Quant::eight};

// Mode 5 with rotation r: the colour line takes red, green, blue with channel
// r - 1 exchanged for alpha, the scalar that channel (alpha when r is 0).
struct Mode5Fit {
    int rotation = 0;
    LineFit colour;
    LineFit scalar;
    float error = kInfinity;
};

Mode5Fit fit_mode5(const float px[64], int rotation) noexcept {
    float colour[64], scalar[64] = {};
    for (int i = 0; i < 16; ++i) {
        std::copy_n(px + 4 * i, 4, colour + 4 * i);
        if (rotation > 0) std::swap(colour[4 * i + rotation - 1], colour[4 * i + 3]);
        scalar[4 * i] = colour[4 * i + 3];
    }
    Mode5Fit fit;
    fit.rotation = rotation;
    fit.colour = fit_line(kMode5Colour, colour);
    fit.scalar = fit_line(kMode5Scalar, scalar);
    fit.error = fit.colour.error + fit.scalar.error;
    return fit;
}

// Mode 6 leaves more than a step (RMS) of error in a channel: the block is
// then worth the four rotations of mode 5.
constexpr float kMode6GoodEnough = 16.0f * 4.0f;

constexpr float kGoodEnough = 16.0f * 0.25f * 0.25f;
constexpr float kFarFromBlackAndWhite = 48.0f;

// Each palette from several starts.
void search_both_palettes(Bc4Search& search, const float sorted[16]) noexcept {
    // 8 levels: the range, and the range shrunk by a fourteenth of the span at
    // either end or both (what outliers would cost the rest).
    const float span = (sorted[15] - sorted[0]) / 14.0f;
    int eight[4][2];
    for (int i = 0; i < 4; ++i) {
        int hi = round_to(sorted[15] - span * static_cast<float>(i / 2), 0, 255);
        int lo = round_to(sorted[0] + span * static_cast<float>(i % 2), 0, 255);
        if (hi <= lo) hi < 255 ? hi = lo + 1 : lo = hi - 1;
        eight[i][0] = hi, eight[i][1] = lo;
    }
    search_palette(search, eight);
    // 6 levels over a range are coarser than 8 over it: they rarely win
    // unless black or white serves samples near them (on the sample's height
    // map, skipping them elsewhere costs 0.3 % of the error).
    if (sorted[0] > kFarFromBlackAndWhite && sorted[15] < 255.0f - kFarFromBlackAndWhite) return;
    // 6 levels: the range, and the ranges left when black or white or both
    // take 2 or 4 samples at their end.
    int six[9][2];
    for (int i = 0; i < 9; ++i) {
        six[i][0] = round_to(sorted[2 * (i / 3)], 0, 255);
        six[i][1] = round_to(sorted[15 - 2 * (i % 3)], 0, 255);
    }
    search_palette(search, six);
}

}  // namespace

void encode_bc4_block(const float values[16], uint8_t out[kBc4BlockBytes]) noexcept {
    float v[16];
    for (int i = 0; i < 16; ++i) v[i] = to_255(values[i]);
    float sorted[16];
    std::copy_n(v, 16, sorted);
    std::sort(sorted, sorted + 16);
    Bc4Search search(v);
    // A block that the plain range fits to a quarter step (RMS) is done: the
    // searches could at most shave that quarter.
    int e0 = round_to(sorted[15], 0, 255), e1 = round_to(sorted[0], 0, 255);
    if (e0 == e1) e0 < 255 ? ++e0 : --e1;
    search.settle(e0, e1);
    if (search.best_error > kGoodEnough) search_both_palettes(search, sorted);

    float pal[8];
    uint8_t index[16];
    bc4_palette(search.best_e0, search.best_e1, pal);
    bc4_assign(v, pal, index);
    std::fill_n(out, kBc4BlockBytes, uint8_t{0});
    BitWriter bits{out};
    bits.put(static_cast<uint32_t>(search.best_e0), 8);
    bits.put(static_cast<uint32_t>(search.best_e1), 8);
    for (uint8_t i : index) bits.put(i, 3);
}

void encode_bc7_block(const float rgba[64], uint8_t out[kBc7BlockBytes]) noexcept {
    float px[64];
    for (int i = 0; i < 64; ++i) px[i] = to_255(rgba[i]);
    const LineFit six = fit_line(kMode6, px);
    Mode5Fit five;
    if (six.error > kMode6GoodEnough) {
        for (int rotation = 0; rotation < 4; ++rotation) {
            const Mode5Fit fit = fit_mode5(px, rotation);
            if (fit.error < five.error) five = fit;
        }
    }
    std::fill_n(out, kBc7BlockBytes, uint8_t{0});
    BitWriter bits{out};
    if (!(five.error < six.error)) {
        bits.put(1u << 6, 7);  // mode 6
        for (int c = 0; c < 4; ++c) {
            bits.put(static_cast<uint32_t>(six.code[0][c]), 7);
            bits.put(static_cast<uint32_t>(six.code[1][c]), 7);
        }
        bits.put(static_cast<uint32_t>(six.parity[0]), 1);
        bits.put(static_cast<uint32_t>(six.parity[1]), 1);
        bits.put(six.index[0], 3);
        for (int i = 1; i < 16; ++i) bits.put(six.index[i], 4);
        return;
    }
    bits.put(1u << 5, 6);  // mode 5
    bits.put(static_cast<uint32_t>(five.rotation), 2);
    for (int c = 0; c < 3; ++c) {
        bits.put(static_cast<uint32_t>(five.colour.code[0][c]), 7);
        bits.put(static_cast<uint32_t>(five.colour.code[1][c]), 7);
    }
    bits.put(static_cast<uint32_t>(five.scalar.code[0][0]), 8);
    bits.put(static_cast<uint32_t>(five.scalar.code[1][0]), 8);
    for (const LineFit* line : {&five.colour, &five.scalar}) {
        bits.put(line->index[0], 1);
        for (int i = 1; i < 16; ++i) bits.put(line->index[i], 2);
    }
}

}  // namespace rk
