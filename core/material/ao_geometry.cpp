#include "material/ao_geometry.h"

#include <algorithm>
#include <cmath>

namespace rk {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Tangents of 0 and 45 degrees come out of sin and cos a rounding away from
// 0 and +-1; snapped, those lines run exactly through pixel centres.
double snapped(double v) {
    const double n = std::round(v);
    return std::fabs(v - n) < 1e-12 ? n : v;
}

struct Crossing {
    double tau;
    AoNearSample sample;
};

// Every cell boundary the ray from a pixel crosses at major steps 1 to
// `steps` and, between them, at distances below minor_end, nearest first.
std::vector<Crossing> ray_crossings(int32_t step, int32_t minor_col, double ar, double aq,
                                    uint32_t steps, double minor_end) {
    const double major = std::fabs(ar);
    const double minor = std::fabs(aq);
    const double t = snapped(aq / major);  // minor columns per step along the ray
    std::vector<Crossing> crossings;
    for (uint32_t j = 1; j <= steps; ++j) {
        const double col = j * t;
        const double lo = std::floor(col);
        const int32_t row = step * static_cast<int32_t>(j);
        crossings.push_back({j / major,
                             {row, static_cast<int32_t>(lo), row, static_cast<int32_t>(lo) + 1,
                              static_cast<float>(col - lo), static_cast<float>(major / j)}});
    }
    if (t != 0.0) {
        for (uint32_t k = 1;; ++k) {
            const double tau = k / minor;
            if (tau >= minor_end) break;
            const double row = snapped(step * (k / std::fabs(t)));
            if (row == std::round(row)) continue;  // a major crossing as well
            const double lo = std::floor(row);
            const int32_t col = minor_col * static_cast<int32_t>(k);
            crossings.push_back({tau,
                                 {static_cast<int32_t>(lo), col, static_cast<int32_t>(lo) + 1, col,
                                  static_cast<float>(row - lo), static_cast<float>(1.0 / tau)}});
        }
    }
    std::sort(crossings.begin(), crossings.end(),
              [](const Crossing& a, const Crossing& b) { return a.tau < b.tau; });
    return crossings;
}

// The part of the ray between distances t0 and t1 inside one cell.
AoSegment segment_of(double ar, double aq, double t0, double t1) {
    const double mid = (t0 + t1) / 2;
    return {static_cast<int32_t>(std::floor(ar * mid)),
            static_cast<int32_t>(std::floor(aq * mid)),
            static_cast<float>(t0),
            static_cast<float>(t1),
            static_cast<float>(1.0 / (t1 - t0)),
            static_cast<float>(t0 * t1),
            static_cast<float>(t0 + t1),
            static_cast<float>(t0 * t0),
            static_cast<float>(t1 * t1),
            static_cast<float>(-ar * aq * (t1 - t0) * (t1 - t0) / (4 * t0))};
}

// Every cell boundary the ray from a pixel crosses within kAoNearSteps major
// steps, nearest first, and the cells between them.
void add_near_field(AoRay& ray, double ar, double aq) {
    const double major = std::fabs(ar);
    const double t = snapped(aq / std::fabs(ar));
    const double reach = kAoNearSteps / major;
    const std::vector<Crossing> crossings =
        ray_crossings(ray.step, ray.minor_col, ar, aq, kAoNearSteps, reach - 1e-9);
    ray.sample_count = static_cast<uint32_t>(crossings.size());
    for (uint32_t i = 0; i < ray.sample_count; ++i) ray.samples[i] = crossings[i].sample;
    // Along a line of cells the surface is linear in each cell: no bulges.
    ray.segment_count = 0;
    if (t == 0.0) return;
    for (uint32_t i = 1; i < ray.sample_count; ++i)
        ray.segments[ray.segment_count++] = segment_of(ar, aq, crossings[i - 1].tau, crossings[i].tau);
}

AoRay make_ray(double ar, double aq, double radius) {
    AoRay ray{};
    const double major = std::fabs(ar);
    ray.step = ar > 0 ? 1 : -1;
    const double steps = radius * major;
    ray.far_last = static_cast<uint32_t>(std::floor(steps + 1e-9));
    ray.end_frac = static_cast<float>(std::max(0.0, steps - ray.far_last));
    ray.inv_radius = static_cast<float>(1.0 / radius);
    for (uint32_t j = 1; j <= ray.far_last; ++j) {
        for (uint32_t lane = 0; lane < 8; ++lane)
            ray.neg_inv_dist[8 * j + lane] = -static_cast<float>(major / j);
    }
    ray.major = static_cast<float>(major);
    ray.minor = static_cast<float>(std::fabs(aq));
    ray.minor_col = aq < 0 ? -1 : 1;
    ray.twist_scale = static_cast<float>(ar * aq);
    add_near_field(ray, ar, aq);
    return ray;
}

void widen(AoExactBlock& b, bool& empty, int32_t r0, int32_t r1, int32_t c0, int32_t c1,
           int32_t (&hi)[2]) {
    if (empty) {
        b.box_row = r0, b.box_col = c0, hi[0] = r1, hi[1] = c1;
        empty = false;
        return;
    }
    b.box_row = std::min(b.box_row, r0), b.box_col = std::min(b.box_col, c0);
    hi[0] = std::max(hi[0], r1), hi[1] = std::max(hi[1], c1);
}

AoExactRay make_exact_ray(double ar, double aq, double radius, uint32_t& box_rows,
                          uint32_t& box_cols) {
    AoExactRay ray;
    const double major = std::fabs(ar);
    ray.step = ar > 0 ? 1 : -1;
    ray.major = static_cast<float>(major);
    ray.minor = static_cast<float>(std::fabs(aq));
    ray.minor_col = aq < 0 ? -1 : 1;
    ray.twist_scale = static_cast<float>(ar * aq);
    const auto steps = static_cast<uint32_t>(std::floor(radius * major + 1e-9));
    const std::vector<Crossing> crossings =
        ray_crossings(ray.step, ray.minor_col, ar, aq, steps, radius + 1e-9);
    const bool bulges = snapped(aq / major) != 0.0;
    for (const Crossing& c : crossings) ray.crossings.push_back(c.sample);
    for (size_t i = 0; bulges && i + 1 < crossings.size(); ++i)
        ray.segments.push_back(segment_of(ar, aq, crossings[i].tau, crossings[i + 1].tau));
    const double end_r = snapped(radius * ar), end_c = snapped(radius * aq);
    ray.end_row = static_cast<int32_t>(std::floor(end_r));
    ray.end_col = static_cast<int32_t>(std::floor(end_c));
    ray.end_fr = static_cast<float>(end_r - ray.end_row);
    ray.end_fc = static_cast<float>(end_c - ray.end_col);
    ray.inv_radius = static_cast<float>(1.0 / radius);
    const double last = crossings.back().tau;
    ray.end_segment_used = bulges && radius - last > 1e-9;
    if (ray.end_segment_used) ray.end_segment = segment_of(ar, aq, last, radius);
    // Blocks of kAoExactBlock major steps; each box holds every cell a point
    // of its block lies in.
    for (uint32_t i = 0; i < crossings.size();) {
        const auto block = static_cast<uint32_t>(std::ceil(crossings[i].tau * major - 1e-9) - 1) /
                           kAoExactBlock;
        AoExactBlock b{i, i, 0, 0, 0.0f};
        while (b.end < crossings.size() &&
               static_cast<uint32_t>(std::ceil(crossings[b.end].tau * major - 1e-9) - 1) /
                       kAoExactBlock == block)
            ++b.end;
        bool empty = true;
        int32_t hi[2] = {0, 0};
        const uint32_t from = b.first ? b.first - 1 : 0;
        for (uint32_t k = from; k < b.end; ++k) {
            const AoNearSample& x = ray.crossings[k];
            widen(b, empty, std::min(x.a_row, x.b_row), std::max(x.a_row, x.b_row),
                  std::min(x.a_col, x.b_col), std::max(x.a_col, x.b_col), hi);
            if (bulges && k + 1 < b.end) {
                const AoSegment& g = ray.segments[k];
                widen(b, empty, g.row, g.row + 1, g.col, g.col + 1, hi);
            }
        }
        if (b.end == crossings.size()) {
            widen(b, empty, ray.end_row, ray.end_row + 1, ray.end_col, ray.end_col + 1, hi);
            if (ray.end_segment_used) {
                const AoSegment& g = ray.end_segment;
                widen(b, empty, g.row, g.row + 1, g.col, g.col + 1, hi);
            }
        }
        b.neg_inv_near = b.first ? -static_cast<float>(1.0 / crossings[b.first - 1].tau) : 0.0f;
        box_rows = std::max(box_rows, static_cast<uint32_t>(hi[0] - b.box_row + 1));
        box_cols = std::max(box_cols, static_cast<uint32_t>(hi[1] - b.box_col + 1));
        ray.blocks.push_back(b);
        i = b.end;
    }
    return ray;
}

}  // namespace

std::vector<AoExactSet> ao_exact_sets(const AoSettings& settings) {
    const std::vector<AoLineSet> lines = ao_line_sets(settings);
    std::vector<AoExactSet> out(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        AoExactSet& set = out[i];
        set.transposed = lines[i].transposed;
        set.ray_count = lines[i].ray_count;
        set.box_rows = set.box_cols = 0;
        const uint32_t k_count = settings.directions;
        const uint32_t sets = static_cast<uint32_t>(lines.size());
        for (uint32_t n = 0; n < set.ray_count; ++n) {
            const double phi = 2.0 * kPi * (i + n * sets) / k_count;
            const double c = snapped(std::cos(phi));
            const double s = snapped(std::sin(phi));
            const double ar = set.transposed ? c : s;
            const double aq = set.transposed ? s : c;
            set.rays[n] = make_exact_ray(ar, aq, settings.radius, set.box_rows, set.box_cols);
        }
    }
    return out;
}

AoRowShift ao_row_shift(int64_t lattice_row, double slope) noexcept {
    const double at = static_cast<double>(lattice_row) * slope;
    const double shift = std::floor(at);
    return {static_cast<int32_t>(shift), static_cast<float>(at - shift)};
}

std::vector<AoLineSet> ao_line_sets(const AoSettings& settings) {
    const uint32_t k_count = settings.directions;
    // Opposite directions (k and k + K/2) sweep the same lines.
    const uint32_t sets = k_count % 2 == 0 ? k_count / 2 : k_count;
    const uint32_t per_set = k_count % 2 == 0 ? 2 : 1;
    std::vector<AoLineSet> out(sets);
    for (uint32_t i = 0; i < sets; ++i) {
        AoLineSet& set = out[i];
        set.ray_count = per_set;
        for (uint32_t n = 0; n < per_set; ++n) {
            const double phi = 2.0 * kPi * (i + n * sets) / k_count;
            const double c = snapped(std::cos(phi));
            const double s = snapped(std::sin(phi));
            // The major axis is the one the direction is closer to; Q's rows
            // run along it.
            set.transposed = std::fabs(c) >= std::fabs(s);
            const double ar = set.transposed ? c : s;
            const double aq = set.transposed ? s : c;
            set.slope = snapped(aq / ar);
            set.lattice = set.slope == 0.0 || std::fabs(set.slope) == 1.0;
            set.rays[n] = make_ray(ar, aq, settings.radius);
        }
    }
    return out;
}

}  // namespace rk
