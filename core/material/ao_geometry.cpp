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

// Every cell boundary the ray from a pixel crosses within kAoNearSteps major
// steps, nearest first, and the cells between them.
void add_near_field(AoRay& ray, double ar, double aq) {
    const double major = std::fabs(ar);
    const double minor = std::fabs(aq);
    const double t = snapped(aq / major);  // minor columns per step along the ray
    const double reach = kAoNearSteps / major;
    std::vector<Crossing> crossings;
    for (uint32_t j = 1; j <= kAoNearSteps; ++j) {
        const double col = j * t;
        const double lo = std::floor(col);
        const int32_t row = ray.step * static_cast<int32_t>(j);
        crossings.push_back({j / major,
                             {row, static_cast<int32_t>(lo), row, static_cast<int32_t>(lo) + 1,
                              static_cast<float>(col - lo), static_cast<float>(major / j)}});
    }
    if (t != 0.0) {
        for (uint32_t k = 1;; ++k) {
            const double tau = k / minor;
            if (tau >= reach - 1e-9) break;
            const double row = snapped(ray.step * (k / std::fabs(t)));
            if (row == std::round(row)) continue;  // a major crossing as well
            const double lo = std::floor(row);
            const int32_t col = ray.minor_col * static_cast<int32_t>(k);
            crossings.push_back({tau,
                                 {static_cast<int32_t>(lo), col, static_cast<int32_t>(lo) + 1, col,
                                  static_cast<float>(row - lo), static_cast<float>(1.0 / tau)}});
        }
    }
    std::sort(crossings.begin(), crossings.end(),
              [](const Crossing& a, const Crossing& b) { return a.tau < b.tau; });
    ray.sample_count = static_cast<uint32_t>(crossings.size());
    for (uint32_t i = 0; i < ray.sample_count; ++i) ray.samples[i] = crossings[i].sample;
    // Along a line of cells the surface is linear in each cell: no bulges.
    ray.segment_count = 0;
    if (t == 0.0) return;
    for (uint32_t i = 1; i < ray.sample_count; ++i) {
        const double t0 = crossings[i - 1].tau;
        const double t1 = crossings[i].tau;
        const double mid = (t0 + t1) / 2;
        ray.segments[ray.segment_count++] = {static_cast<int32_t>(std::floor(ar * mid)),
                                             static_cast<int32_t>(std::floor(aq * mid)),
                                             i - 1,
                                             static_cast<float>(t0),
                                             static_cast<float>(t1),
                                             static_cast<float>(1.0 / (t1 - t0)),
                                             static_cast<float>(t0 * t1),
                                             static_cast<float>(t0 + t1),
                                             static_cast<float>(t0 * t0),
                                             static_cast<float>(t1 * t1)};
    }
}

AoRay make_ray(double ar, double aq, double radius) {
    AoRay ray{};
    const double major = std::fabs(ar);
    ray.step = ar > 0 ? 1 : -1;
    const double steps = radius * major;
    ray.far_last = static_cast<uint32_t>(std::floor(steps + 1e-9));
    ray.end_frac = static_cast<float>(std::max(0.0, steps - ray.far_last));
    ray.inv_radius = static_cast<float>(1.0 / radius);
    for (uint32_t j = 1; j <= ray.far_last; ++j) ray.inv_dist[j] = static_cast<float>(major / j);
    ray.major = static_cast<float>(major);
    ray.minor = static_cast<float>(std::fabs(aq));
    ray.minor_col = aq < 0 ? -1 : 1;
    ray.twist_scale = static_cast<float>(ar * aq);
    add_near_field(ray, ar, aq);
    return ray;
}

}  // namespace

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
            set.rays[n] = make_ray(ar, aq, settings.radius);
        }
    }
    return out;
}

}  // namespace rk
