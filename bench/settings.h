// The operations and parameters the benchmark measures, shared by our side, the
// OpenCV side and the pipeline driver so that all three run the same work.
#pragma once

#include <cstdint>

#include "reliefkit.h"

namespace rkbench {

inline constexpr uint32_t kSide = 4096;  // every image is kSide x kSide float RGBA
inline constexpr uint32_t kRandomSeed = 20240607;

// Height map from a photograph: luminance, auto-levels, detail 9 / 0.05,
// Gaussian smoothing 5.
struct HeightSettings {
    static constexpr uint32_t mode = 7;
    static constexpr uint32_t flags = HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH;
    static constexpr float midpoint = 0.5f;
    static constexpr float clamp_low = 0.0f;
    static constexpr float clamp_high = 1.0f;
    static constexpr uint32_t detail_size = 9;
    static constexpr float detail_threshold = 0.05f;
    static constexpr float weight = 1.0f;
    static constexpr uint32_t smooth_size = 5;
    static constexpr uint32_t smooth_kind = 0;  // Gaussian
};

// Normal map from a height map: strength 3, 1-2-1 centre weight, Gaussian blur 5.
struct NormalSettings {
    static constexpr uint32_t strength = 3;
    static constexpr uint32_t center_tap = 1;
    static constexpr uint32_t blur_size = 5;
    static constexpr uint32_t blur_kind = 0;  // Gaussian
};

// Centre weight of the gradient operator for a centre-tap level, in the
// library's single-precision order.
inline float center_weight(uint32_t center_tap) {
    return (static_cast<float>(center_tap) * 2.0f + 16.0f) / 9.0f;
}

}  // namespace rkbench
