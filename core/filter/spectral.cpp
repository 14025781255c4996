#include "filter/spectral.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <new>
#include <numbers>

#include "common/block_cache.h"
#include "common/thread_pool.h"

namespace rk {
namespace {

// Penalty of the highest frequencies in integrate_slopes: at most a gain of
// 1 / (2 sqrt(kNyquistHold)) = 16 on a slope's component that central
// differences barely see, and below 1e-4 of the data's weight at half that
// frequency and under.
constexpr float kNyquistHold = 1e-3f;

// How much of a map's rounding (independent, of one spread per slope) a
// stencil's difference passes on: (a - b) / 2 half of it, a - b twice.
constexpr double kRoundingGain[3] = {0.5, 2.0, 2.0};

// The smoothings across a slope's axis the stencil test weighs (Sobel's and
// Prewitt's; see SlopeStencils::across). Exact slopes (a bake's) leave the
// least curl under a weight of about 1/6 (the curl of a smoothing a on slopes
// smoothed by b grows with b - a, and a derivative is central differences
// smoothed by 1/6 to the lowest order), so Scharr's 3/16 cannot be told from
// them and is not weighed: read as central differences, its maps keep the
// edge readings exact slopes need.
constexpr float kAcross[2] = {0.25f, 1.0f / 3.0f};
constexpr int kSmoothings = 2;
// A smoothing is taken only when it leaves much less curl than central
// differences (exact slopes leave about half as much under Sobel's as under
// none).
constexpr double kSmoothingClearlyLess = 0.02;

// Another pair of stencils is taken only when its weighed curl is under this
// share of the central pair's.
constexpr double kClearlyLess = 0.25;

// An edge's slopes s0 against the line through their two inward neighbours
// (s1, s2), summed along the edge: s0 times the line's value at the edge
// (2 s1 - s2), the line's squares and s0's own. A full slope at the edge
// lies on the line (along / squares near 1), the half step of central
// differences of held heights near half of it, a held one-sided slope at 0
// (own / squares near 0).
struct EdgeLine {
    double along = 0.0, squares = 0.0, own = 0.0;
    void add(float s0, float s1, float s2) noexcept {
        const double line = 2.0 * double(s1) - double(s2);
        along += double(s0) * line;
        squares += line * line;
        own += double(s0) * double(s0);
    }
    bool full() const noexcept { return squares > 0.0 && along > 0.75 * squares; }
    // No more than a hundredth of the line's squares.
    bool held() const noexcept { return squares > 0.0 && own < 0.01 * squares; }
};

// The slopes the solve reads at a clamped image's edges. Mirrored past its
// edge (pixel -1 is pixel 0), an image's central difference at the edge pixel
// is half the step to its neighbour: slopes taken that way (central
// differences of heights held at the edge, as this library's normal maps are)
// fit the mirror as they are. Maps made otherwise do not: the step between
// the edge slope and its reflection sets off the pattern of alternate pixels
// that central differences barely see, and non-tiling gratings came out up to
// 21 % of their range wrong. Two other kinds are read as the half step the
// mirror expects: the surface's full slope at the edge pixel (a bake, a scan,
// a photometric fit) as (s0 + s1) / 4, the trapezoid over the edge pixel and
// its neighbour; the whole one-sided step to the neighbour (what array
// libraries' gradients put at the edges) as s0 / 2. Which kind a map is is
// told from all its edges together, two ways. A full edge slope continues the
// line through its two neighbours (s0 = 2 s1 - s2), a half one is about half
// of that. Where the slopes change along the edge, the curl tells more: the
// mirror's own reading leaves none against the slopes across the edge
// (central differences along the edge of the half step equal those across it
// of the other slopes), so a reading that leaves clearly less curl than the
// line's choice is taken instead.
class EdgeSlopes {
  public:
    EdgeSlopes(const float* p, const float* q, uint32_t w, uint32_t h, bool wrap) : w_(w), h_(h) {
        if (wrap) return;
        EdgeLine edges;
        const bool columns = w >= 3, rows = h >= 3;
        for (uint32_t y = 0; columns && y < h; ++y) {
            const float* r = p + size_t{y} * w;
            edges.add(r[0], r[1], r[2]);
            edges.add(r[w - 1], r[w - 2], r[w - 3]);
        }
        for (uint32_t x = 0; rows && x < w; ++x) {
            const size_t last = size_t{h - 1} * w + x;
            edges.add(q[x], q[w + x], q[2 * size_t{w} + x]);
            edges.add(q[last], q[last - w], q[last - 2 * size_t{w}]);
        }
        Reading chosen = edges.full() ? trapezoid : as_is;
        // [3]: the curl one pixel in, where no reading applies; a map with
        // curl of its own (smoothed across, as a Sobel filter's; noise) has
        // as much at its edges whatever the reading, and keeps the line's.
        const std::array<double, 4> curl = edge_curl(p, q, columns, rows);
        const Reading line_choice = chosen;
        for (const Reading other : {as_is, trapezoid, half}) {
            if (curl[other] < kClearlyLess * curl[chosen] &&
                kClearlyLess * curl[line_choice] > curl[3]) {
                chosen = other;
            }
        }
        if (chosen == as_is) return;
        if (columns) {
            first_.resize(h);
            last_.resize(h);
            for (uint32_t y = 0; y < h; ++y) {
                const float* r = p + size_t{y} * w;
                first_[y] = read(chosen, r[0], r[1]);
                last_[y] = read(chosen, r[w - 1], r[w - 2]);
            }
        }
        if (rows) {
            top_.resize(w);
            bottom_.resize(w);
            const float* b = q + size_t{h - 1} * w;
            const float* above = b - w;
            for (uint32_t x = 0; x < w; ++x) {
                top_[x] = read(chosen, q[x], q[w + x]);
                bottom_[x] = read(chosen, b[x], above[x]);
            }
        }
    }
    // Whether p's edge columns are read otherwise than they are.
    bool columns_read() const noexcept { return !first_.empty(); }
    // p at column c of row y (pr: that row).
    float p_at(const float* pr, uint32_t y, uint32_t c) const noexcept {
        if (columns_read() && c == 0) return first_[y];
        if (columns_read() && c == w_ - 1) return last_[y];
        return pr[c];
    }
    // Row y of q.
    const float* q_row(const float* q, uint32_t y) const noexcept {
        if (!top_.empty() && y == 0) return top_.data();
        if (!bottom_.empty() && y == h_ - 1) return bottom_.data();
        return q + size_t{y} * w_;
    }

  private:
    enum Reading { as_is, trapezoid, half };

    static float read(Reading reading, float s0, float s1) noexcept {
        return reading == trapezoid ? 0.25f * (s0 + s1) : reading == half ? 0.5f * s0 : s0;
    }

    // Squares of the curl along the edges left by each reading of the edge
    // slopes: central differences along an edge of its read slopes less
    // those across it of the other slopes (mirrored: half the step from the
    // edge pixel to its neighbour).
    std::array<double, 4> edge_curl(const float* p, const float* q, bool columns,
                                    bool rows) const noexcept {
        const uint32_t w = w_, h = h_;
        std::array<double, 4> sums{};
        auto inner = [&](float d) { sums[3] += double(d * d); };
        auto add = [&](float along_before, float along_after, float next_before, float next_after,
                       float across) {
            for (const Reading r : {as_is, trapezoid, half}) {
                const float d =
                    0.5f * (read(r, along_after, next_after) - read(r, along_before, next_before)) -
                    across;
                sums[r] += double(d * d);
            }
        };
        for (uint32_t y = 1; columns && rows && y + 1 < h; ++y) {
            const float* pu = p + size_t{y - 1} * w;
            const float* pd = p + size_t{y + 1} * w;
            const float* qr = q + size_t{y} * w;
            add(pu[0], pd[0], pu[1], pd[1], 0.5f * (qr[1] - qr[0]));
            add(pu[w - 1], pd[w - 1], pu[w - 2], pd[w - 2], 0.5f * (qr[w - 1] - qr[w - 2]));
            inner(0.5f * (pd[1] - pu[1]) - 0.5f * (qr[2] - qr[0]));
            inner(0.5f * (pd[w - 2] - pu[w - 2]) - 0.5f * (qr[w - 1] - qr[w - 3]));
        }
        const float* q1 = q + w;
        const float* qb = q + size_t{h - 1} * w;
        const float* qa = qb - w;
        const float* p1 = p + w;
        const float* pb = p + size_t{h - 1} * w;
        const float* pa = pb - w;
        const float* pa2 = pa - w;
        for (uint32_t x = 1; columns && rows && x + 1 < w; ++x) {
            add(q[x - 1], q[x + 1], q1[x - 1], q1[x + 1], 0.5f * (p1[x] - p[x]));
            add(qb[x - 1], qb[x + 1], qa[x - 1], qa[x + 1], 0.5f * (pb[x] - pa[x]));
            inner(0.5f * (p[2 * size_t{w} + x] - p[x]) - 0.5f * (q1[x + 1] - q1[x - 1]));
            inner(0.5f * (pb[x] - pa2[x]) - 0.5f * (qa[x + 1] - qa[x - 1]));
        }
        return sums;
    }

    uint32_t w_, h_;
    std::vector<float> first_, last_, top_, bottom_;
};

// One axis of a grid laid with one-sided slopes: the step from cell j to the
// next is sign[j] * slope[index[j]] (pixel index[j] of the map's slopes along
// that axis): forward inside the image and where it wraps, backward (-1) in a
// reflection, 0 from a mirrored edge pixel to itself.
struct GridSteps {
    std::vector<uint32_t> index;
    std::vector<float> sign;
};

GridSteps grid_steps(const SpectralLayout& lay, uint32_t n, uint32_t gn, SlopeStencil stencil) {
    GridSteps steps;
    steps.index.resize(gn);
    steps.sign.resize(gn);
    for (uint32_t j = 0; j < gn; ++j) {
        const uint32_t a = lay.source(j, n), b = lay.source(j + 1 < gn ? j + 1 : 0, n);
        const float d = lay.wrap ? 1.0f : a == b ? 0.0f : lay.mirror_sign(j, n);
        // h[b] - h[a] is the slope at the lower pixel of the two (forward) or
        // the higher (backward), its sign the step's direction.
        const bool lower = (d >= 0.0f) == (stencil == SlopeStencil::forward);
        steps.index[j] = lower ? a : b;
        steps.sign[j] = d;
    }
    return steps;
}

// The adjoint of the stencils' differences over the layout (the right-hand
// side of the normal equations) when either axis is one-sided.
void one_sided_sums(const float* p, const float* q, const SpectralLayout& lay,
                    SlopeStencils stencils, const std::vector<uint32_t>& sx,
                    const std::vector<uint32_t>& sy, const std::vector<float>& fx,
                    const std::vector<float>& fy, FourierGrid& grid) {
    const uint32_t w = lay.width, h = lay.height, gw = lay.grid_width, gh = lay.grid_height;
    const GridSteps xs = grid_steps(lay, w, gw, stencils.x);
    const GridSteps ys = grid_steps(lay, h, gh, stencils.y);
    const bool x_central = stencils.x == SlopeStencil::central;
    const bool y_central = stencils.y == SlopeStencil::central;
    parallel_rows(gh, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const uint32_t up = (y + gh - 1) % gh, down = (y + 1) % gh;
            const float* pr = p + size_t{sy[y]} * w;
            float* out = grid.real_row(y);
            for (uint32_t x = 0; x < gw; ++x) {
                const uint32_t l = x ? x - 1 : gw - 1, r = x + 1 < gw ? x + 1 : 0;
                out[x] = x_central ? 0.5f * (fx[l] * pr[sx[l]] - fx[r] * pr[sx[r]])
                                   : xs.sign[l] * pr[xs.index[l]] - xs.sign[x] * pr[xs.index[x]];
            }
            if (y_central) {
                const float* qu = q + size_t{sy[up]} * w;
                const float* qd = q + size_t{sy[down]} * w;
                for (uint32_t x = 0; x < gw; ++x)
                    out[x] += 0.5f * (fy[up] * qu[sx[x]] - fy[down] * qd[sx[x]]);
            } else {
                const float* qa = q + size_t{ys.index[up]} * w;
                const float* qb = q + size_t{ys.index[y]} * w;
                const float sa = ys.sign[up], sb = ys.sign[y];
                for (uint32_t x = 0; x < gw; ++x) out[x] += sa * qa[sx[x]] - sb * qb[sx[x]];
            }
        }
    });
}

// Squared frequency response of an axis's difference: sin^2 k for central
// differences, |1 - e^-ik|^2 = 4 sin^2 (k / 2) for one-sided ones.
float response(float k, SlopeStencil stencil) noexcept {
    if (stencil == SlopeStencil::central) {
        const float s = std::sin(k);
        return s * s;
    }
    const float s = std::sin(0.5f * k);
    return 4.0f * (s * s);
}

// p smoothed down the rows and q along them by (a, 1 - 2a, a), the image's
// edges mirrored or wrapped as the layout's: both planes, p's first, in a
// block of the cache (every value written).
Block smoothed_across(const float* p, const float* q, uint32_t w, uint32_t h, bool wrap, float a) {
    Block out(2 * sizeof(float) * size_t{w} * h);
    if (!out) throw std::bad_alloc();
    const float c = 1.0f - 2.0f * a;
    parallel_rows(h, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* pu = p + size_t{fold(int64_t{y} - 1, h, wrap)} * w;
            const float* pc = p + size_t{y} * w;
            const float* pd = p + size_t{fold(int64_t{y} + 1, h, wrap)} * w;
            const float* qc = q + size_t{y} * w;
            float* ps = out.get<float>() + size_t{y} * w;
            float* qs = ps + size_t{w} * h;
            for (uint32_t x = 0; x < w; ++x) ps[x] = a * pu[x] + c * pc[x] + a * pd[x];
            for (uint32_t x = 1; x + 1 < w; ++x) qs[x] = a * qc[x - 1] + c * qc[x] + a * qc[x + 1];
            for (const uint32_t x : {0u, w - 1}) {
                const uint32_t l = fold(int64_t{x} - 1, w, wrap), r = fold(int64_t{x} + 1, w, wrap);
                qs[x] = a * qc[l] + c * qc[x] + a * qc[r];
            }
        }
    });
    return out;
}

}  // namespace

SlopeStencils fitting_stencils(const float* p, const float* q, uint32_t w, uint32_t h) {
    if (w < 3 || h < 3) return {};
    // Per row, the curl's squares under each pair (x stencil * 3 + y stencil)
    // and each smoothing across (9 + its index), added in row order afterwards.
    constexpr int kPairs = 9, kAll = kPairs + kSmoothings;
    std::vector<std::array<double, kAll>> rows(h);
    parallel_rows(h - 2, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0 + 1; y < y1 + 1; ++y) {
            const float* pu = p + size_t{y - 1} * w;
            const float* pc = pu + w;
            const float* pd = pc + w;
            const float* qc = q + size_t{y} * w;
            const float* qu = qc - w;
            const float* qd = qc + w;
            std::array<double, kAll> sums{};
            for (uint32_t x = 1; x + 1 < w; ++x) {
                for (int k = 0; k < kSmoothings; ++k) {
                    const float a = kAcross[k], c = 1.0f - 2.0f * a;
                    const float below = a * pd[x - 1] + c * pd[x] + a * pd[x + 1];
                    const float above = a * pu[x - 1] + c * pu[x] + a * pu[x + 1];
                    const float right = a * qu[x + 1] + c * qc[x + 1] + a * qd[x + 1];
                    const float left = a * qu[x - 1] + c * qc[x - 1] + a * qd[x - 1];
                    const float curl = 0.5f * (below - above) - 0.5f * (right - left);
                    sums[kPairs + k] += double(curl * curl);
                }
                const float dy[3] = {0.5f * (pd[x] - pu[x]), pd[x] - pc[x], pc[x] - pu[x]};
                const float dx[3] = {0.5f * (qc[x + 1] - qc[x - 1]), qc[x + 1] - qc[x],
                                     qc[x] - qc[x - 1]};
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) {
                        const float curl = dy[j] - dx[i];
                        sums[3 * i + j] += double(curl * curl);
                    }
                }
            }
            rows[y] = sums;
        }
    });
    std::array<double, kAll> weighed{};
    for (const auto& r : rows) {
        for (int k = 0; k < kAll; ++k) weighed[k] += r[k];
    }
    // best: the pair of least curl; other: the least but central; smooth:
    // the smoothing of least curl.
    int best = 0, other = 1, smooth = kPairs;
    for (int k = 0; k < kAll; ++k) {
        if (k < kPairs) {
            weighed[k] /= kRoundingGain[k / 3] + kRoundingGain[k % 3];
            if (weighed[k] < weighed[best]) best = k;
            if (k > 0 && weighed[k] < weighed[other]) other = k;
        } else {
            const double a = kAcross[k - kPairs], c = 1.0 - 2.0 * a;
            weighed[k] /= 2.0 * a * a + c * c;
            if (weighed[k] < weighed[smooth]) smooth = k;
        }
    }
    if (weighed[smooth] < kSmoothingClearlyLess * weighed[0] && weighed[smooth] < weighed[best])
        return {SlopeStencil::central, SlopeStencil::central, kAcross[smooth - kPairs]};
    if (best != 0 && weighed[best] < kClearlyLess * weighed[0])
        return {static_cast<SlopeStencil>(best / 3), static_cast<SlopeStencil>(best % 3)};
    if (weighed[0] < kClearlyLess * weighed[other]) return {};
    // The curl cannot tell (a smooth surface, whose slopes every stencil fits
    // within the rounding); the edges can. Heights held at the edge give a
    // one-sided slope of 0 along the edge it points out of, and the whole
    // step at the other, where central differences give the same share of
    // the line through the two neighbours at both edges (see EdgeSlopes).
    auto ends = [](const float* s, size_t step, uint32_t n, size_t last, size_t in) {
        EdgeLine first, end;
        for (uint32_t i = 0; i < n; ++i) {
            const float* a = s + i * step;
            const float* b = a + last;
            first.add(a[0], a[in], a[2 * in]);
            end.add(b[0], b[-ptrdiff_t(in)], b[-2 * ptrdiff_t(in)]);
        }
        return end.held() && first.full()   ? SlopeStencil::forward
               : first.held() && end.full() ? SlopeStencil::backward
                                            : SlopeStencil::central;
    };
    return {ends(p, w, h, w - 1, 1), ends(q, 1, w, size_t{h - 1} * w, w)};
}

bool small_factors(uint32_t n) noexcept {
    for (uint32_t p = 2; p <= 97 && n > 1; ++p) {
        while (n % p == 0) n /= p;
    }
    return n <= 1;
}

uint32_t fold(int64_t i, uint32_t n, bool wrap) noexcept {
    const int64_t period = wrap ? n : 2 * int64_t{n};
    int64_t j = i % period;
    if (j < 0) j += period;
    return static_cast<uint32_t>(j < n ? j : period - 1 - j);
}

float frequency(uint32_t i, uint32_t n) noexcept {
    const int64_t k = i <= n / 2 ? int64_t{i} : int64_t{i} - n;
    return static_cast<float>(2.0 * std::numbers::pi * static_cast<double>(k) / n);
}

SpectralLayout::SpectralLayout(uint32_t w, uint32_t h, bool wrap_edges) noexcept
    : width(w), height(h), wrap(wrap_edges) {
    grid_width = wrap ? (w % 2 ? 2 * w : w) : 2 * w;
    grid_height = wrap ? h : 2 * h;
}

bool integrate_slopes(const float* p, const float* q, uint32_t w, uint32_t h, bool wrap,
                      float* heights, SlopeStencils stencils) {
    const SpectralLayout lay(w, h, wrap);
    const uint32_t gw = lay.grid_width, gh = lay.grid_height;
    FourierGrid grid(gw, gh);
    if (!grid.valid()) return false;
    std::vector<uint32_t> sx(gw), sy(gh);
    std::vector<float> fx(gw), fy(gh);
    for (uint32_t x = 0; x < gw; ++x) {
        sx[x] = lay.source(x, w);
        fx[x] = lay.mirror_sign(x, w);
    }
    for (uint32_t y = 0; y < gh; ++y) {
        sy[y] = lay.source(y, h);
        fy[y] = lay.mirror_sign(y, h);
    }
    const bool central = stencils.x == SlopeStencil::central && stencils.y == SlopeStencil::central;
    // Slopes smoothed across their axis: the operator is the central
    // difference times that smoothing, which commutes with the other axis's
    // difference, so the slopes smoothed across once more (the smoothing's
    // adjoint; the grid is periodic) go through the central sums. Their
    // edges are the mirror's (smoothing heights held at the edge).
    const bool smoothed = central && stencils.across > 0.0f;
    Block across;
    if (smoothed) {
        across = smoothed_across(p, q, w, h, wrap, stencils.across);
        p = across.get<float>();
        q = p + size_t{w} * h;
    }
    const EdgeSlopes edges(p, q, w, h, wrap || !central || smoothed);
    // The grid columns whose sums read p at an edge column: worked out again
    // with the edge read as EdgeSlopes says, after each row's plain pass.
    std::vector<uint32_t> beside_edges;
    for (uint32_t x = 0; edges.columns_read() && x < gw; ++x) {
        const uint32_t cl = sx[x ? x - 1 : gw - 1], cr = sx[x + 1 < gw ? x + 1 : 0];
        if (cl == 0 || cl == w - 1 || cr == 0 || cr == w - 1) beside_edges.push_back(x);
    }
    // The adjoint of the central differences (the right-hand side of the
    // normal equations), over the layout: slopes across a mirror change sign.
    if (!central) one_sided_sums(p, q, lay, stencils, sx, sy, fx, fy, grid);
    if (central)
        parallel_rows(gh, 8, [&](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) {
                const uint32_t up = (y + gh - 1) % gh, down = (y + 1) % gh;
                const float* pr = p + size_t{sy[y]} * w;
                const float* qu = edges.q_row(q, sy[up]);
                const float* qd = edges.q_row(q, sy[down]);
                float* out = grid.real_row(y);
                auto sum = [&](uint32_t x, float pl, float pn) noexcept {
                    const uint32_t l = x ? x - 1 : gw - 1, r = x + 1 < gw ? x + 1 : 0;
                    const float dp = fx[l] * pl - fx[r] * pn;
                    const float dq = fy[up] * qu[sx[x]] - fy[down] * qd[sx[x]];
                    out[x] = 0.5f * (dp + dq);
                };
                for (uint32_t x = 0; x < gw; ++x)
                    sum(x, pr[sx[x ? x - 1 : gw - 1]], pr[sx[x + 1 < gw ? x + 1 : 0]]);
                for (const uint32_t x : beside_edges) {
                    sum(x, edges.p_at(pr, sy[y], sx[x ? x - 1 : gw - 1]),
                        edges.p_at(pr, sy[y], sx[x + 1 < gw ? x + 1 : 0]));
                }
            }
        });
    grid.forward();
    const uint32_t gc = grid.columns();
    // bx2, by2: the squared response of the smoothing across (1 without).
    std::vector<float> sx2(gc), kx2(gc), bx2(gc, 1.0f), sy2(gh), ky2(gh), by2(gh, 1.0f);
    const float a = stencils.across, c = 1.0f - 2.0f * a;
    for (uint32_t x = 0; x < gc; ++x) {
        const float k = frequency(x, gw), b = c + 2.0f * a * std::cos(k);
        sx2[x] = response(k, stencils.x);
        kx2[x] = k * k;
        if (smoothed) bx2[x] = b * b;
    }
    for (uint32_t y = 0; y < gh; ++y) {
        const float k = frequency(y, gh), b = c + 2.0f * a * std::cos(k);
        sy2[y] = response(k, stencils.y);
        ky2[y] = k * k;
        if (smoothed) by2[y] = b * b;
    }
    const float norm = 1.0f / (static_cast<float>(gw) * static_cast<float>(gh));
    const float pi4 = std::pow(std::numbers::pi_v<float>, 4.0f);
    parallel_rows(gh, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            std::complex<float>* row = grid.row(y);
            for (uint32_t x = 0; x < gc; ++x) {
                const float kk = kx2[x] + ky2[y];
                const float d =
                    (sx2[x] * by2[y] + sy2[y] * bx2[x]) + kNyquistHold * (kk * kk / pi4);
                row[x] = d > 0.0f ? row[x] * (norm / d) : std::complex<float>(0.0f, 0.0f);
            }
        }
    });
    grid.row(0)[0] = 0.0f;
    grid.inverse();
    double sum = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        const float* g = grid.real_row(y);
        for (uint32_t x = 0; x < w; ++x) sum += g[x];
    }
    const auto mean = static_cast<float>(sum / (static_cast<double>(w) * h));
    for (uint32_t y = 0; y < h; ++y) {
        const float* g = grid.real_row(y);
        float* out = heights + size_t{y} * w;
        for (uint32_t x = 0; x < w; ++x) out[x] = g[x] - mean;
    }
    return true;
}

}  // namespace rk
