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
    const std::vector<double> sum(c.begin() + static_cast<std::ptrdiff_t>(nn), c.end());
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
    double mu[2] = {0.0, 0.0};
    for (uint32_t i = 0; i < n; ++i) {
        mu[0] -= vec[i * n + first] * sum[i] / s1;
        mu[1] -= vec[i * n + second] * sum[i] / s2;
    }
    std::vector<std::array<double, 2>> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = {s1 * vec[i * n + first] + mu[0], s2 * vec[i * n + second] + mu[1]};
    // Lights of one elevation: |W v_i| the same for all, i.e. v_i^T S v_i = 1
    // for S = W^2 (scaled), least squares in S's three entries.
    double m[3][4] = {};
    for (uint32_t i = 0; i < n; ++i) {
        const double row[3] = {v[i][0] * v[i][0], 2.0 * v[i][0] * v[i][1], v[i][1] * v[i][1]};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) m[r][k] += row[r] * row[k];
            m[r][3] += row[r];
        }
    }
    for (int col = 0; col < 3; ++col) {  // Gauss-Jordan with partial pivoting
        int piv = col;
        for (int r = col + 1; r < 3; ++r) {
            if (std::abs(m[r][col]) > std::abs(m[piv][col])) piv = r;
        }
        if (!(std::abs(m[piv][col]) > 1e-12)) return {};
        for (int k = 0; k < 4; ++k) std::swap(m[col][k], m[piv][k]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = m[r][col] / m[col][col];
            for (int k = 0; k < 4; ++k) m[r][k] -= f * m[col][k];
        }
    }
    const double sa = m[0][3] / m[0][0], sb = m[1][3] / m[1][1], sc = m[2][3] / m[2][2];
    if (!(sa > 0.0) || !(sa * sc - sb * sb > 0.0)) return {};
    // W = sqrt(S): S's eigenvectors with the roots of its eigenvalues.
    const double tr = sa + sc, gap = std::sqrt((sa - sc) * (sa - sc) + 4.0 * sb * sb);
    const double e1 = 0.5 * (tr + gap), e2 = 0.5 * (tr - gap);
    const double ang = 0.5 * std::atan2(2.0 * sb, sa - sc), cs = std::cos(ang), sn = std::sin(ang);
    const double r1 = std::sqrt(e1), r2 = std::sqrt(std::max(e2, 0.0));
    if (!(r2 > 0.0)) return {};
    const Mat2 wm{cs * cs * r1 + sn * sn * r2, cs * sn * (r1 - r2), cs * sn * (r1 - r2),
                  sn * sn * r1 + cs * cs * r2};
    const double wdet = wm[0] * wm[3] - wm[1] * wm[2];
    const Mat2 winv{wm[3] / wdet, -wm[1] / wdet, -wm[2] / wdet, wm[0] / wdet};
    // Second moments of X's derivatives (dx X1, dx X2, dy X1, dy X2): the curl
    // of any field M X is a combination of them.
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
    // The turn or mirror T (applied to the lights and the field alike) that
    // leaves the field T^T W^-1 X least curl.
    double best = INFINITY;
    Mat2 t_best{1, 0, 0, 1};
    for (int mirror = 0; mirror < 2; ++mirror) {
        for (int k = 0; k < 720; ++k) {
            const double th = k * kPi / 720.0, ct = std::cos(th), st = std::sin(th);
            const Mat2 t = mirror ? Mat2{ct, st, st, -ct} : Mat2{ct, -st, st, ct};
            // M = T^T W^-1
            const Mat2 mm{t[0] * winv[0] + t[2] * winv[2], t[0] * winv[1] + t[2] * winv[3],
                          t[1] * winv[0] + t[3] * winv[2], t[1] * winv[1] + t[3] * winv[3]};
            const double tau[4] = {mm[2], mm[3], -mm[0], -mm[1]};
            double e = 0.0;
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) e += tau[i] * s[4 * i + j] * tau[j];
            }
            if (e < best) {
                best = e;
                t_best = t;
            }
        }
    }
    // Light i's direction in the image (y down): T^T W v_i.
    std::vector<float> azimuth(n);
    for (uint32_t i = 0; i < n; ++i) {
        const double zx = wm[0] * v[i][0] + wm[1] * v[i][1], zy = wm[2] * v[i][0] + wm[3] * v[i][1];
        const double dx = t_best[0] * zx + t_best[2] * zy, dy = t_best[1] * zx + t_best[3] * zy;
        double az = std::atan2(-dy, dx) * 180.0 / kPi;
        if (az < 0.0) az += 360.0;
        azimuth[i] = static_cast<float>(az >= 360.0 ? 0.0 : az);
    }
    return azimuth;
}

}  // namespace rk
