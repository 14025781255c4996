// The direction a light comes from, as the command and the rk_ interface give
// it, and as the solves use it.
#pragma once

#include <cmath>
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

}  // namespace rk
