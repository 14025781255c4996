#include "filter/spectral.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "common/thread_pool.h"

namespace rk {
namespace {

// Penalty of the highest frequencies in integrate_slopes: at most a gain of
// 1 / (2 sqrt(kNyquistHold)) = 16 on a slope's component that central
// differences barely see, and below 1e-4 of the data's weight at half that
// frequency and under.
constexpr float kNyquistHold = 1e-3f;

// The slopes the solve reads at a clamped image's edges. Mirrored past its
// edge (pixel -1 is pixel 0), an image's central difference at the edge pixel
// is half the step to its neighbour: slopes taken that way (central
// differences of heights held at the edge, as this library's normal maps are)
// fit the mirror as they are. A map whose edge pixels hold the surface's full
// slope there (a bake, a scan, a photometric fit) does not: the step between
// the edge slope and its reflection sets off the pattern of alternate pixels
// that central differences barely see, and non-tiling gratings came out up to
// 21 % of their range wrong. Such edges are read as the half step the mirror
// expects, (s0 + s1) / 4 (the trapezoid over the edge pixel and its
// neighbour). Which kind a map is is told from all its edges together: a full
// edge slope continues the line through its two neighbours (s0 = 2 s1 - s2),
// a half one is about half of that.
class EdgeSlopes {
  public:
    EdgeSlopes(const float* p, const float* q, uint32_t w, uint32_t h, bool wrap) : w_(w), h_(h) {
        if (wrap) return;
        double along = 0.0, squares = 0.0;
        auto weigh = [&](float s0, float s1, float s2) {
            const double line = 2.0 * double(s1) - double(s2);
            along += double(s0) * line;
            squares += line * line;
        };
        const bool columns = w >= 3, rows = h >= 3;
        for (uint32_t y = 0; columns && y < h; ++y) {
            const float* r = p + size_t{y} * w;
            weigh(r[0], r[1], r[2]);
            weigh(r[w - 1], r[w - 2], r[w - 3]);
        }
        for (uint32_t x = 0; rows && x < w; ++x) {
            const size_t last = size_t{h - 1} * w + x;
            weigh(q[x], q[w + x], q[2 * size_t{w} + x]);
            weigh(q[last], q[last - w], q[last - 2 * size_t{w}]);
        }
        if (!(squares > 0.0 && along > 0.75 * squares)) return;
        if (columns) {
            first_.resize(h);
            last_.resize(h);
            for (uint32_t y = 0; y < h; ++y) {
                const float* r = p + size_t{y} * w;
                first_[y] = 0.25f * (r[0] + r[1]);
                last_[y] = 0.25f * (r[w - 1] + r[w - 2]);
            }
        }
        if (rows) {
            top_.resize(w);
            bottom_.resize(w);
            const float* b = q + size_t{h - 1} * w;
            const float* above = b - w;
            for (uint32_t x = 0; x < w; ++x) {
                top_[x] = 0.25f * (q[x] + q[w + x]);
                bottom_[x] = 0.25f * (b[x] + above[x]);
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
    uint32_t w_, h_;
    std::vector<float> first_, last_, top_, bottom_;
};

}  // namespace

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
                      float* heights) {
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
    const EdgeSlopes edges(p, q, w, h, wrap);
    // The grid columns whose sums read p at an edge column: worked out again
    // with the edge read as EdgeSlopes says, after each row's plain pass.
    std::vector<uint32_t> beside_edges;
    for (uint32_t x = 0; edges.columns_read() && x < gw; ++x) {
        const uint32_t cl = sx[x ? x - 1 : gw - 1], cr = sx[x + 1 < gw ? x + 1 : 0];
        if (cl == 0 || cl == w - 1 || cr == 0 || cr == w - 1) beside_edges.push_back(x);
    }
    // The adjoint of the central differences (the right-hand side of the
    // normal equations), over the layout: slopes across a mirror change sign.
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
    std::vector<float> sx2(gc), kx2(gc), sy2(gh), ky2(gh);
    for (uint32_t x = 0; x < gc; ++x) {
        const float k = frequency(x, gw), s = std::sin(k);
        sx2[x] = s * s;
        kx2[x] = k * k;
    }
    for (uint32_t y = 0; y < gh; ++y) {
        const float k = frequency(y, gh), s = std::sin(k);
        sy2[y] = s * s;
        ky2[y] = k * k;
    }
    const float norm = 1.0f / (static_cast<float>(gw) * static_cast<float>(gh));
    const float pi4 = std::pow(std::numbers::pi_v<float>, 4.0f);
    parallel_rows(gh, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            std::complex<float>* row = grid.row(y);
            for (uint32_t x = 0; x < gc; ++x) {
                const float kk = kx2[x] + ky2[y];
                const float d = (sx2[x] + sy2[y]) + kNyquistHold * (kk * kk / pi4);
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
