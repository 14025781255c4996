// Ambient occlusion from a height map.
//
// Heights in pixels are the red channel times depth D. For each pixel p and each
// of K directions phi = 2 pi k / K, the horizon h(phi) is the largest elevation
// atan((H(q) - H(p)) / |q - p|) over the points q of the ray from p with
// 0 < |q - p| <= R, heights between pixel centres bilinear; the occlusion is
// 1 - mean over phi of sin^2(max(0, h(phi))), the cosine-weighted share of the
// sky above the texture's plane that p sees (1: open, 0: shut in).
//
// How it is computed (ao.cpp, ao_band_body.h), one of two ways by the heights:
//
// Smooth heights (no step to a neighbour, second difference along a row or a
// column, or twist of a cell above 4 px, or above 4 K / 16 px with fewer than
// 16 directions: a photograph's at the default depth) are swept along parallel lines one pixel
// apart that sample the bilinear surface once per pixel step; every line
// sample gets its horizon beyond the first few steps and the distance of the
// point that sets it. A pixel lies between two lines: its horizon is the
// larger of its own ray followed exactly over the first kAoNearSteps steps
// (every cell boundary and the bulge of the surface inside each cell) and the
// two lines' far horizons, each moved from the line's height to the pixel's
// along the line to the point that sets it, blended by distance. The far
// horizons come from a scan of each line's samples up to R, eight lines per
// vector, that skips blocks of eight steps which cannot beat the slope found
// so far. A convex-hull stack per line (linear in the pixels) measured slower
// at R = 64 on an AMD EPYC (its pops are unpredictable branches and loads,
// scalar or gathered), and it needs a second structure to forget points beyond
// R without losing the points they hid; the scan is exact within R.
// Against rays marched in steps of 0.02 px (tests/material/ao_test.cpp) the
// lines stay within 0.011 of the definition on cliffs, a round pit and a sine
// grating (D = 16, R = 24) and within 0.019 on rough surfaces: waves down to
// 2.5 px, per-pixel grain of 0.3 at D = 16 to 24 (7 px from one pixel to the
// next).
//
// Sharper heights break the blend: the surface between two lines bends at the
// pixel column by the second difference, so the occlusion can change by more
// than 0.02 from one line to the next (a cliff's side that one line reaches at
// the end of the radius and the pixel's ray does not, a shape narrower than
// the gap between two lines), and a far cell's bulge, which the lines do not
// weigh, grows with its twist. In trials the lines came to 0.024 from the
// definition on a cliff 64 px high, 0.05 on a cylinder 12 px wide and 16 px
// high, 0.024 on single-pixel spikes 2.9 px high, 0.03 on ridges one pixel
// wide and 4 px high; below the bound they stayed within 0.013. There each
// pixel's own ray is followed over its whole length (ao_geometry.h,
// AoExactRay): every cell boundary it crosses, the bulge of every cell where a
// bound lets it matter, the point at exactly R; blocks of kAoExactBlock steps
// are skipped where the largest height in a box around their cells cannot beat
// the slope so far. That is the definition itself (the tests hold those
// surfaces to it), at about five times the lines' cost.
//
// Edges: clamp continues the edge pixels outwards; wrap reads across the
// opposite edge. When the image wraps its lines are anchored to the lattice of
// the image tiled 3 x 3, so the wrapped map is the centre of that image's
// clamped map bit for bit.
#pragma once

#include <cstdint>

#include "filter/convolve.h"
#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

inline constexpr float kAoMinRadius = 8.0f;
// The cost grows with the radius (each line sample looks R pixels ahead).
inline constexpr float kAoMaxRadius = 256.0f;
inline constexpr float kAoMaxDepth = 4096.0f;
inline constexpr uint32_t kAoMinDirections = 4;
inline constexpr uint32_t kAoMaxDirections = 256;

struct AoSettings {
    float depth = 16.0f;       // D: pixels per unit of height, 0..kAoMaxDepth
    float radius = 32.0f;      // R in pixels, kAoMinRadius..kAoMaxRadius
    uint32_t directions = 16;  // K, kAoMinDirections..kAoMaxDirections
    EdgeMode edge = EDGE_CLAMP;
};

// Null when the settings can be used, otherwise which one is out of range.
const char* ao_settings_error(const AoSettings& settings) noexcept;

// The occlusion map of the heights in red: grey (the value in red, green and
// blue), alpha 1, the size of heights. Heights that are not numbers count as 0,
// and heights are limited to +-65536 so that every product stays finite. Null
// when heights has no pixels, the settings are unusable or memory runs out.
// Every thread count gives the same bits.
ImgbufPtr ao_map(const imgbuf* heights, const AoSettings& settings) noexcept;

// The same on a chosen instruction-set build (plain, AVX2's eight lanes or
// AVX-512's sixteen; a build the processor lacks falls back to the next
// one down): every build gives the same bits.
ImgbufPtr ao_map_on(ConvolvePath path, const imgbuf* heights, const AoSettings& settings) noexcept;

}  // namespace rk
