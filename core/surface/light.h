// The direction a light comes from, as the command and the rk_ interface give
// it, and as the solves use it.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace rk {

// Azimuth in degrees counter-clockwise as seen on screen, 0 = from the right
// edge, 90 = from the top edge; elevation in degrees above the surface's
// plane. NaN in either means "estimate it".
struct LightAngles {
    float azimuth = NAN;
    float elevation = NAN;
};

// Unit vector towards the light in the image's frame: x to the right, y down
// the picture, z out of the surface.
struct LightVector {
    float x = 0.0f, y = 0.0f, z = 1.0f;
};

inline LightVector light_vector(float azimuth_deg, float elevation_deg) noexcept {
    constexpr double kRad = std::numbers::pi / 180.0;
    const double a = azimuth_deg * kRad, e = elevation_deg * kRad;
    return {static_cast<float>(std::cos(e) * std::cos(a)),
            static_cast<float>(-std::cos(e) * std::sin(a)), static_cast<float>(std::sin(e))};
}

// The angles of a vector towards the light (z > 0), azimuth in [0, 360).
inline LightAngles light_angles(const LightVector& l) noexcept {
    constexpr double kDeg = 180.0 / std::numbers::pi;
    double a = std::atan2(-static_cast<double>(l.y), static_cast<double>(l.x)) * kDeg;
    if (a < 0.0) a += 360.0;
    const double e = std::atan2(static_cast<double>(l.z), std::hypot(l.x, l.y)) * kDeg;
    return {static_cast<float>(a >= 360.0 ? 0.0 : a), static_cast<float>(e)};
}

// Whether lights see a slope in every direction: lights that all lie in one
// plane with the surface's normal (one azimuth, two opposite ones, all
// straight above or nearly) see none across that plane, and the sum of
// l l^T over them, whose determinant this tests, cannot be inverted. The
// floor grows with the count, as the sum does.
inline bool lights_spread(const LightVector* lights, size_t count) noexcept {
    double a[3][3] = {};
    for (size_t i = 0; i < count; ++i) {
        const double c[3] = {lights[i].x, lights[i].y, lights[i].z};
        for (int r = 0; r < 3; ++r) {
            for (int k = 0; k < 3; ++k) a[r][k] += c[r] * c[k];
        }
    }
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    return det > 1e-6 * static_cast<double>(count);
}

}  // namespace rk
