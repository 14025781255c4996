// The rays of the occlusion map, worked out once per call.
//
// Each direction is swept along parallel lines one pixel apart. The heights are
// read from a plane Q whose rows run along the direction's major axis (the
// height plane itself when the direction is closer to vertical, its transpose
// when it is closer to horizontal), so every sweep steps one Q row at a time and
// moves t = tan(angle from the major axis) columns per row, |t| <= 1. Line c
// crosses Q row r at column c + r * slope: samples are one linear blend of two
// neighbouring heights per row. Opposite directions use the same lines.
#pragma once

#include <cstdint>
#include <vector>

#include "material/ao.h"

namespace rk {

// Whole steps along the major axis within which each pixel's own ray is
// followed exactly (every cell boundary it crosses and the bulge of the bilinear
// surface inside each cell); beyond them the lines give the horizon. Fewer
// steps measured up to 0.08 from the definition on pixel noise.
inline constexpr uint32_t kAoNearSteps = 3;
// Major crossings plus minor crossings within kAoNearSteps steps (|t| <= 1).
inline constexpr uint32_t kAoMaxNearSamples = 2 * kAoNearSteps;
// The farthest whole step of the largest radius.
inline constexpr uint32_t kAoMaxFarSteps = static_cast<uint32_t>(kAoMaxRadius);

// A point of a pixel's own ray where it crosses a cell boundary: the height
// there is Q[p + a] + w * (Q[p + b] - Q[p + a]), p the pixel. Offsets in Q rows
// and columns.
struct AoNearSample {
    int32_t a_row, a_col, b_row, b_col;
    float w;
    float inv_tau;  // 1 / distance from the pixel
};

// The part of a ray inside one cell, between two consecutive samples: the
// bilinear surface along it is a parabola whose curvature comes from the cell's
// four corners (twist = q00 - q10 - q01 + q11 times the ray's two components).
struct AoSegment {
    int32_t row, col;  // the cell's corner nearest the origin, relative to the pixel
    uint32_t from;     // sample index where the segment starts (it ends at from + 1)
    float tau0, tau1, inv_len, tau_product, tau_sum, tau0_sq, tau1_sq;
};

// One direction of one line set.
struct AoRay {
    int32_t step;       // +1 or -1: the Q row of the next sample
    uint32_t far_last;  // J: the last whole step within the radius
    float end_frac;     // R / step length - J: where the radius ends
    float inv_radius;   // 1 / R
    // [j] = 1 / (j * step length) up to J, then 0 for the rest of J's block.
    float inv_dist[kAoMaxFarSteps + 8];
    // The slope into the pixel's first cell: major * (Q[p + step row] - h) +
    // minor * (Q[p + minor col] - h).
    float major, minor;
    int32_t minor_col;  // +1 or -1
    float twist_scale;  // product of the two signed components
    uint32_t sample_count;
    AoNearSample samples[kAoMaxNearSamples];
    uint32_t segment_count;
    AoSegment segments[kAoMaxNearSamples];
};

// The lines of one orientation and the one or two directions that use them.
struct AoLineSet {
    bool transposed;  // Q is the transposed height plane
    double slope;     // Q columns per Q row along every line
    uint32_t ray_count;
    AoRay rays[2];
};

// The directions 2 pi k / K, k = 0..K-1, grouped into line sets; opposite
// directions share one set. Throws std::bad_alloc.
std::vector<AoLineSet> ao_line_sets(const AoSettings& settings);

}  // namespace rk
