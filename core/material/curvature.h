// Curvature from a height map: how much the surface bulges (ridges, bumps:
// above 0.5) or hollows (valleys, joints: below 0.5) at a scale, 0.5 where it
// is flat, a plane of any slope included.
//
// The heights in red are blurred with a Gaussian of the scale's size (B1) and
// B1 once more with the same kernel (B2, the surface at sqrt(2) times the
// scale). By the heat equation B1 - B2 is sigma^2 / 2 times the negative
// Laplacian of the heights at about that scale: the mean curvature of the
// smoothed surface, weighted by the square of the scale so that features as
// wide as the scale give the same response at every scale. It is mapped
// through y / (1 + |y|), y = 32 * strength * (B1 - B2), to
// 0.5 + 0.5 y / (1 + |y|): bounded, odd around 0.5, steepest there. With 32 the
// height map of the bundled bricks photograph spans 0.5 +- 0.2 at its 90th
// percentile at strength 1 (scale 9).
//
// A plane blurred stays the same plane except for rounding in the blurs, a few
// units in the last place; differences below 2^-16 of the larger of 1 and the
// height (a step of a 16-bit map) count as flat, so planes give exactly 0.5.
// With clamped edges the surface goes on straight past the border (each row
// and column continued by point reflection through its edge value), so a
// plane of any slope gives 0.5 up to the border, which measures the bend
// along it; wrapped edges join the opposite border.
#pragma once

#include <cstdint>

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

inline constexpr float kCurvatureMaxStrength = 100.0f;

struct CurvatureSettings {
    uint32_t scale = 9;     // Gaussian size in pixels: odd 3..253, an even size lowered by one
    float strength = 1.0f;  // 0..kCurvatureMaxStrength; 0 gives 0.5 everywhere
    EdgeMode edge = EDGE_CLAMP;
};

// Null when the settings can be used, otherwise which one is out of range.
const char* curvature_settings_error(const CurvatureSettings& settings) noexcept;

// The curvature map of the heights in red: grey, alpha 1, the size of heights.
// Heights that are not numbers count as 0 (and are limited to +-65536). Null
// when heights has no pixels, the settings are unusable or memory runs out.
// Every thread count and instruction-set build gives the same bits.
ImgbufPtr curvature_map(const imgbuf* heights, const CurvatureSettings& settings) noexcept;

}  // namespace rk
