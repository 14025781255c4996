#include "surface/light_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "common/thread_pool.h"

namespace rk {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr uint32_t kMostLights = 32;
// Rows per chunk of the sums over the image: chunks are summed in order, so the
// result does not depend on the threads.
constexpr uint32_t kChunkRows = 32;
// A pixel is left out when its mean reading is below this (nothing to divide by).
constexpr float kDarkMean = 2.0f / 255.0f;

// Sum over the image of a per-row function giving `size` doubles.
template <class RowFn>
std::vector<double> sum_rows(uint32_t height, size_t size, RowFn&& row_fn) {
    const uint32_t chunks = (height + kChunkRows - 1) / kChunkRows;
    std::vector<double> part(size_t{chunks} * size, 0.0);
    parallel_for(chunks, [&](uint32_t c) noexcept {
        const uint32_t y1 = std::min(height, (c + 1) * kChunkRows);
        for (uint32_t y = c * kChunkRows; y < y1; ++y) row_fn(y, part.data() + size_t{c} * size);
    });
    std::vector<double> total(size, 0.0);
    for (uint32_t c = 0; c < chunks; ++c) {
        for (size_t i = 0; i < size; ++i) total[i] += part[size_t{c} * size + i];
    }
    return total;
}

// The readings of pixel x of row y over their mean, less one; false when dark.
bool ratios(const float* readings, uint32_t width, uint32_t count, uint32_t x, uint32_t y,
            double* out) noexcept {
    const float* r = readings + (size_t{y} * width + x) * count;
    double mean = 0.0;
    for (uint32_t i = 0; i < count; ++i) mean += r[i];
    mean /= count;
    if (!(mean > kDarkMean)) return false;
    for (uint32_t i = 0; i < count; ++i) out[i] = r[i] / mean - 1.0;
    return true;
}

// Eigenvectors of a symmetric n x n matrix by Jacobi rotations; a is destroyed,
// its diagonal left with the eigenvalues, v's columns the vectors.
void jacobi(std::vector<double>& a, std::vector<double>& v, uint32_t n) {
    v.assign(size_t{n} * n, 0.0);
    for (uint32_t i = 0; i < n; ++i) v[size_t{i} * n + i] = 1.0;
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0.0;
        for (uint32_t p = 0; p < n; ++p) {
            for (uint32_t q = p + 1; q < n; ++q) off += a[p * n + q] * a[p * n + q];
        }
        if (off < 1e-30) break;
        for (uint32_t p = 0; p < n; ++p) {
            for (uint32_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (std::abs(apq) < 1e-300) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) /
                                 (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (uint32_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (uint32_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (uint32_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }
}

using Mat2 = std::array<double, 4>;  // row-major

}  // namespace

std::vector<float> search_azimuths(const float* readings, uint32_t width, uint32_t height,
                                   uint32_t count) {
    const uint32_t n = count;
    if (n < 3 || n > kMostLights || width < 3 || height < 3) return {};
    // The readings' first and second moments.
    const size_t nn = size_t{n} * n;
    std::vector<double> c = sum_rows(height, nn + n, [&](uint32_t y, double* acc) {
        double r[kMostLights];
        for (uint32_t x = 0; x < width; ++x) {
            if (!ratios(readings, width, n, x, y, r)) continue;
            for (uint32_t i = 0; i < n; ++i) {
                for (uint32_t j = 0; j < n; ++j) acc[i * n + j] += r[i] * r[j];
                acc[nn + i] += r[i];
            }
        }
    });
    c.resize(nn);
    std::vector<double> vec;
    jacobi(c, vec, n);
    uint32_t first = 0, second = 1;
    for (uint32_t i = 0; i < n; ++i) {
        if (c[i * n + i] > c[first * n + first]) first = i;
    }
    if (second == first) second = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i != first && c[i * n + i] > c[second * n + second]) second = i;
    }
    const double l1 = c[first * n + first], l2 = c[second * n + second];
    if (!(l1 > 0.0) || !(l2 > 1e-9 * l1)) return {};
    // X(x) = (e1 . r(x) / sqrt(l1), e2 . r(x) / sqrt(l2)) has unit second
    // moments, and r_i(x) = X(x) . y_i with y_i = (sqrt(l1) e1_i, sqrt(l2) e2_i).
    // The true field is h = W^-1 X and the lights W (y_i + mu), for a
    // symmetric W: mu = -sum X puts the mean of h at zero (the mean normal
    // points up) to first order.
    const double s1 = std::sqrt(l1), s2 = std::sqrt(l2);
    std::vector<std::array<double, 2>> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = {s1 * vec[i * n + first], s2 * vec[i * n + second]};
    // Second moments of X's derivatives (dx X1, dx X2, dy X1, dy X2): the curl
    // and the size of the derivatives of any field M X are quadratic forms in
    // M's entries over them.
    std::array<double, 2> proj[kMostLights];
    for (uint32_t i = 0; i < n; ++i) proj[i] = {vec[i * n + first] / s1, vec[i * n + second] / s2};
    auto field = [&](uint32_t x, uint32_t yy, double* g) {
        double r[kMostLights];
        g[0] = g[1] = 0.0;
        if (!ratios(readings, width, n, x, yy, r)) return;
        for (uint32_t i = 0; i < n; ++i) {
            g[0] += proj[i][0] * r[i];
            g[1] += proj[i][1] * r[i];
        }
    };
    const std::vector<double> s = sum_rows(height, 16, [&](uint32_t yy, double* acc) {
        if (yy == 0 || yy + 1 >= height) return;
        for (uint32_t x = 1; x + 1 < width; ++x) {
            double gl[2], gr[2], gu[2], gd[2];
            field(x - 1, yy, gl);
            field(x + 1, yy, gr);
            field(x, yy - 1, gu);
            field(x, yy + 1, gd);
            const double d[4] = {gr[0] - gl[0], gr[1] - gl[1], gd[0] - gu[0], gd[1] - gu[1]};
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) acc[4 * i + j] += d[i] * d[j];
            }
        }
    });
    auto quad = [&](const double* a, const double* b) {
        double e = 0.0;
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) e += a[i] * s[4 * i + j] * b[j];
        }
        return e;
    };
    // The field is h = M X and light i lies at M^-T y_i. What is wrong with a
    // map M: the field's curl over the size of its derivatives (a surface's
    // slopes have none), plus how far the lights are from one circle (one
    // elevation), both blind to M's scale.
    auto cost = [&](const Mat2& m) {
        const double tau[4] = {m[2], m[3], -m[0], -m[1]};
        const double ex[4] = {m[0], m[1], 0, 0}, ey[4] = {m[2], m[3], 0, 0};
        const double fx[4] = {0, 0, m[0], m[1]}, fy[4] = {0, 0, m[2], m[3]};
        const double total = quad(ex, ex) + quad(ey, ey) + quad(fx, fx) + quad(fy, fy);
        const double det = m[0] * m[3] - m[1] * m[2];
        if (!(total > 0.0) || !(std::abs(det) > 1e-12)) return double{INFINITY};
        // M^-T = [[m3, -m2], [-m1, m0]] / det
        double sum = 0.0, sum2 = 0.0;
        for (uint32_t i = 0; i < n; ++i) {
            const double zx = (m[3] * v[i][0] - m[2] * v[i][1]) / det;
            const double zy = (-m[1] * v[i][0] + m[0] * v[i][1]) / det;
            const double r2 = zx * zx + zy * zy;
            sum += r2;
            sum2 += r2 * r2;
        }
        const double mean = sum / n;
        return quad(tau, tau) / total + (sum2 / n - mean * mean) / (mean * mean);
    };
    auto map_of = [](double th, double ph, double k, int mirror) {
        const double ct = std::cos(th), st = std::sin(th), cp = std::cos(ph), sp = std::sin(ph);
        // R(th) diag(1, k) R(ph), mirrored in y first when asked
        const Mat2 a{ct, -st * k, st, ct * k};
        Mat2 m{a[0] * cp + a[1] * sp, -a[0] * sp + a[1] * cp, a[2] * cp + a[3] * sp,
               -a[2] * sp + a[3] * cp};
        if (mirror) m = {m[0], m[1], -m[2], -m[3]};
        return m;
    };
    double best = INFINITY, bt = 0.0, bp = 0.0, bk = 0.0;
    int bm = 0;
    for (int mirror = 0; mirror < 2; ++mirror) {
        for (int it = 0; it < 90; ++it) {
            for (int ip = 0; ip < 23; ++ip) {
                for (int ik = -10; ik <= 10; ++ik) {
                    const double th = it * kPi / 90.0, ph = ip * kPi / 45.0, k = ik * 0.14;
                    const double c = cost(map_of(th, ph, std::exp(k), mirror));
                    if (c < best) best = c, bt = th, bp = ph, bk = k, bm = mirror;
                }
            }
        }
    }
    for (double step : {kPi / 180.0, kPi / 1800.0, kPi / 18000.0}) {
        for (int round = 0; round < 6; ++round) {
            for (int d = -8; d <= 8; ++d) {
                double c = cost(map_of(bt + d * step, bp, std::exp(bk), bm));
                if (c < best) best = c, bt += d * step;
                c = cost(map_of(bt, bp + d * step, std::exp(bk), bm));
                if (c < best) best = c, bp += d * step;
                c = cost(map_of(bt, bp, std::exp(bk + d * step), bm));
                if (c < best) best = c, bk += d * step;
            }
        }
    }
    const Mat2 m = map_of(bt, bp, std::exp(bk), bm);
    const double det = m[0] * m[3] - m[1] * m[2];
    std::vector<float> azimuth(n);
    for (uint32_t i = 0; i < n; ++i) {
        const double dx = (m[3] * v[i][0] - m[2] * v[i][1]) / det;
        const double dy = (-m[1] * v[i][0] + m[0] * v[i][1]) / det;
        double az = std::atan2(-dy, dx) * 180.0 / kPi;
        if (az < 0.0) az += 360.0;
        // A double just below 360 (a tiny negative angle turned round) is
        // 360 as a float: folded after the rounding, so 0 <= azimuth < 360;
        // so is -0 (atan2 of a -0), which would be told as "-0".
        const auto rounded = static_cast<float>(az);
        azimuth[i] = rounded >= 360.0f || rounded == 0.0f ? 0.0f : rounded;
    }
    return azimuth;
}

}  // namespace rk
