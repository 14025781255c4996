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
    // The adjoint of the central differences (the right-hand side of the
    // normal equations), over the layout: slopes across a mirror change sign.
    parallel_rows(gh, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const uint32_t up = (y + gh - 1) % gh, down = (y + 1) % gh;
            const float* pr = p + size_t{sy[y]} * w;
            const float* qu = q + size_t{sy[up]} * w;
            const float* qd = q + size_t{sy[down]} * w;
            float* out = grid.real_row(y);
            for (uint32_t x = 0; x < gw; ++x) {
                const uint32_t l = x ? x - 1 : gw - 1, r = x + 1 < gw ? x + 1 : 0;
                const float dp = fx[l] * pr[sx[l]] - fx[r] * pr[sx[r]];
                const float dq = fy[up] * qu[sx[x]] - fy[down] * qd[sx[x]];
                out[x] = 0.5f * (dp + dq);
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
