// Roughness from a photograph: a starting point for an artist to tune, not a
// measurement. A photograph does not say how a surface scatters light, but two
// things in it lean one way: fine detail (grain, pores, scratches: a rough
// surface breaks up the light) and brightness (a smooth surface under the
// usual soft light shows the sky in it and looks lighter than the same colour
// rough). So:
//
//   L        the photograph's luminance (as the height map's: 0.299 R +
//            0.587 G + 0.114 B, each channel clamped to 0..1)
//   mean     L blurred with the 5-tap Gaussian (about 0.8 px)
//   detail   |L - mean| blurred with the same Gaussian: the local mean
//            deviation, divided by 0.08 (a deviation that counts as fully
//            rough; sensor noise of an 8-bit photograph is about 0.005) and
//            limited to 1
//   base     (detail + (1 - mean)) / 2
//   result   (base - 0.5) * contrast + 0.5 + bias, clamped to 0..1
//
// Metallic is not guessed from a photograph: writers that need it use a
// constant (0, a dielectric, unless the caller says otherwise).
#pragma once

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

inline constexpr float kRoughnessMaxContrast = 16.0f;

struct RoughnessSettings {
    float contrast = 1.0f;  // 0..kRoughnessMaxContrast; 0 gives 0.5 + bias everywhere
    float bias = 0.0f;      // -1..1, added after the contrast
    EdgeMode edge = EDGE_CLAMP;
};

// Null when the settings can be used, otherwise which one is out of range.
const char* roughness_settings_error(const RoughnessSettings& settings) noexcept;

// The roughness map of a photograph: grey, alpha 1, the photograph's size. Null
// when photo has no pixels, the settings are unusable or memory runs out.
// Every thread count and instruction-set build gives the same bits.
ImgbufPtr roughness_map(const imgbuf* photo, const RoughnessSettings& settings) noexcept;

}  // namespace rk
