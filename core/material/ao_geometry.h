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
// Steps per block of the far scan: the lines keep their maxima over this many
// consecutive samples, and a block whose maximum cannot beat a lane's slope so
// far is skipped.
inline constexpr uint32_t kAoBlock = 8;
// Entries of a ray's table of inverse distances: every step up to the largest
// radius, the end of its block and the sample past it.
inline constexpr uint32_t kAoDistances = kAoMaxFarSteps + 2 * kAoBlock;

// A point of a pixel's own ray where it crosses a cell boundary: the height
// there is Q[p + a] + w * (Q[p + b] - Q[p + a]), p the pixel. Offsets in Q rows
// and columns.
struct AoNearSample {
    int32_t a_row, a_col, b_row, b_col;
    float w;
    float inv_tau;  // 1 / distance from the pixel
};

// The part of a ray inside one cell, between two consecutive samples (segment
// i from sample i to sample i + 1): the bilinear surface along it is a
// parabola whose curvature comes from the cell's four corners (twist = q00 -
// q10 - q01 + q11 times the ray's two components).
struct AoSegment {
    int32_t row, col;  // the cell's corner nearest the origin, relative to the pixel
    float tau0, tau1, inv_len, tau_product, tau_sum, tau0_sq, tau1_sq;
    // twist * bulge bounds how far the slope inside the segment can rise above
    // the larger of its two ends: the parabola's height above its chord (at
    // most -curvature * length^2 / 4) over the nearest distance tau0.
    float bulge;
};

// One direction of one line set.
struct AoRay {
    int32_t step;       // +1 or -1: the Q row of the next sample
    uint32_t far_last;  // J: the last whole step within the radius
    float end_frac;     // R / step length - J: where the radius ends
    float inv_radius;   // 1 / R
    // The slope into the pixel's first cell: major * (Q[p + step row] - h) +
    // minor * (Q[p + minor col] - h).
    float major, minor;
    int32_t minor_col;  // +1 or -1
    float twist_scale;  // product of the two signed components
    uint32_t sample_count;
    AoNearSample samples[kAoMaxNearSamples];
    uint32_t segment_count;
    AoSegment segments[kAoMaxNearSamples];
    // [8 j + lane] = -1 / (j * step length) in all eight lanes for j up to J,
    // then 0 (a slope of 0 never beats the slope so far): the far scan
    // multiplies by whole vectors.
    alignas(32) float neg_inv_dist[kAoDistances * 8];
};

// The lines of one orientation and the one or two directions that use them.
struct AoLineSet {
    bool transposed;  // Q is the transposed height plane
    // The lines run through pixel centres in every row (slope 0 or +-1): each
    // pixel's own ray is a line, followed by the far scan from the first step.
    bool lattice;
    double slope;  // Q columns per Q row along every line
    uint32_t ray_count;
    AoRay rays[2];
};

// Where the lines sit against one row of their lattice: line c crosses it at
// column c + shift + frac, 0 <= frac < 1. Computed in double precision from the
// row's index in the lattice, so every sweep that meets the row (and the same
// row of the image tiled 3 x 3) gets the same bits.
struct AoRowShift {
    int32_t shift;
    float frac;
};
AoRowShift ao_row_shift(int64_t lattice_row, double slope) noexcept;

// The directions 2 pi k / K, k = 0..K-1, grouped into line sets; opposite
// directions share one set. Throws std::bad_alloc.
std::vector<AoLineSet> ao_line_sets(const AoSettings& settings);

}  // namespace rk

namespace rk {

// The exact rays, for heights too steep for the lines (ao.cpp): each pixel's
// own ray is followed over its whole length. Its samples lie at the same
// offsets from every pixel of a direction, so eight neighbouring pixels load
// eight neighbouring heights at each of them.

// Major steps per block of the exact rays: a block is skipped when the
// highest height in a box around its cells cannot beat the slope so far.
inline constexpr uint32_t kAoExactBlock = 8;

// Where the cells of one block lie and how near the block comes to the pixel.
struct AoExactBlock {
    // Crossings [first, end) of the ray; the block also works out crossing
    // first - 1 again (except the first block) for the cell between it and
    // crossing first.
    uint32_t first, end;
    int32_t box_row, box_col;  // the box's corner nearest the origin
    float neg_inv_near;        // -1 / distance of the block's nearest point
};

// One direction: every cell boundary its ray crosses up to the radius,
// nearest first (crossings[i]), the cell between crossings i and i + 1
// (segments[i]), and the point at exactly the radius with the cell between
// the last crossing and it.
struct AoExactRay {
    int32_t step = 1;  // +1 or -1: the Q row of the first crossing
    float major = 0.0f, minor = 0.0f;
    int32_t minor_col = 1;
    float twist_scale = 0.0f;
    std::vector<AoNearSample> crossings;
    std::vector<AoSegment> segments;
    std::vector<AoExactBlock> blocks;
    // The point at the radius: bilinear between Q[p + (row, col)] and the
    // three neighbours beyond, fr down the rows, fc along the columns.
    int32_t end_row = 0, end_col = 0;
    float end_fr = 0.0f, end_fc = 0.0f, inv_radius = 0.0f;
    bool end_segment_used = false;
    AoSegment end_segment{};  // from the last crossing to the radius
};

struct AoExactSet {
    bool transposed;
    uint32_t ray_count;
    AoExactRay rays[2];
    // The box every block of the set fits in, in Q rows and columns.
    uint32_t box_rows, box_cols;
};

// The directions of the settings as exact rays, grouped as ao_line_sets
// groups them. Throws std::bad_alloc.
std::vector<AoExactSet> ao_exact_sets(const AoSettings& settings);

}  // namespace rk
