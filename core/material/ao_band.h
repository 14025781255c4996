// One band of lines of the occlusion map for one line set, as each
// instruction-set build provides it. The files that include this are compiled
// for different processors, so it holds no inline function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "material/ao_geometry.h"

namespace rk {

// Lines per band: eight vectors of eight lanes. A pixel between two lines
// needs both, so a band gives kAoLanes - 1 pixels per row, or kAoLanes when
// the lines run through the pixels (lattice sets).
inline constexpr uint32_t kAoLanes = 64;
// Floats per row of a band's line buffer: the lanes and one vector more, so
// that the last pixel's second line and the loads one lane over stay inside.
inline constexpr uint32_t kAoLineStride = kAoLanes + 8;
// Q rows a band works through at a time (a strip of the image, for every set
// of one orientation before the next strip): each sampling of its lines adds
// the reach of the rays on both sides, so longer strips sample less twice,
// while one strip's sums and heights stay in the cache from set to set.
inline constexpr uint32_t kAoChunk = 256;
// How far a line's samples reach beyond a row on each side: the last block of
// a ray starts at its last whole step at most.
inline constexpr uint32_t kAoMaxReach = kAoMaxFarSteps + kAoBlock;
inline constexpr uint32_t kAoBufferRows = kAoChunk + 2 * kAoMaxReach;

// Scratch of one worker, reused band after band.
struct AoScratch {
    float lines[kAoBufferRows * kAoLineStride];   // line samples
    float bounds[kAoBufferRows * kAoLineStride];  // maxima of kAoBlock samples along each line
    float frac[kAoBufferRows];                    // where the lines sit in each buffer row
    // The far horizons of a strip's rows, per ray: slope and inverse
    // distance per line, worked out lane group by lane group down the strip
    // (the samples one group's rays read stay in the first-level cache) before
    // the rows are blended. The lanes past kAoLanes are kept 0.
    float slope[2][kAoChunk][kAoLineStride];
    float inv[2][kAoChunk][kAoLineStride];
};

struct AoBandJob {
    const float* plane;   // Q at row 0, column 0 of the image (margins around it)
    ptrdiff_t stride;     // floats per Q row
    int64_t anchor;       // row of the lines' lattice that Q row 0 is
    uint32_t rows, cols;  // Q's extent over the image
    // The rows worked on: [row_begin, row_end), at most kAoChunk of them.
    uint32_t row_begin, row_end;
    const AoLineSet* set;
    // [r] for r in [0, rows): the column of the pixel of Q row r that has
    // line 0 as its first line (the one on it or just left of it).
    const int32_t* pixel_shift;
    int32_t first_line;  // the line of lane 0
    // The sums of the set's occlusion: Q row r, column x at acc[r * acc_stride
    // + x], x from -kAoLanes to cols + kAoLanes (the band's pixels beyond the
    // image land in the margins, which no one reads). The first set of an
    // orientation stores, the others add.
    float* acc;
    ptrdiff_t acc_stride;
    bool first;
    AoScratch* scratch;
};

// One exact ray laid out on a plane: offsets in floats from the pixel, in
// arrays the caller owns (the kernels use no library templates).
struct AoExactPlan {
    const AoExactRay* ray;
    ptrdiff_t step_at, minor_at;  // the two neighbours of the first cell
    uint32_t crossing_count, segment_count, block_count;
    const ptrdiff_t* a;           // a crossing's two heights
    const ptrdiff_t* b;
    const float* neg_w;           // -weight of b
    const float* neg_inv_tau;     // -1 / distance
    const AoSegment* segments;
    const ptrdiff_t* cell;        // a segment's cell
    const AoExactBlock* blocks;
    const ptrdiff_t* box;         // a block's box (box plane)
    ptrdiff_t end_at, end_cell;   // the radius's cell, the last segment's
};

// Q rows [row_begin, row_end) and columns [col_begin, col_end) of one exact
// set: a strip of columns keeps the rows around the pixels that its rays
// reach in the cache.
struct AoExactJob {
    const float* plane;  // Q at row 0, column 0 of the image
    const float* box;    // the largest height in the set's box from each point
    ptrdiff_t stride;
    uint32_t row_begin, row_end, col_begin, col_end;
    const AoExactPlan* plans;
    uint32_t ray_count;
    float* acc;  // as AoBandJob::acc
    ptrdiff_t acc_stride;
    bool first;
    // Which pixels to work out: marks[r * marks_stride + x] is 1 for Q row r,
    // column x (x < the image's columns in Q), 0 for a pixel left alone.
    // Null: all.
    const uint8_t* marks;
    ptrdiff_t marks_stride;
};

void ao_exact_plain(const AoExactJob& job) noexcept;
#if defined(__x86_64__)
void ao_exact_avx2(const AoExactJob& job) noexcept;
void ao_exact_avx512(const AoExactJob& job) noexcept;
#endif

// The occlusion of every ray of the set over the band's pixels.
void ao_band_plain(const AoBandJob& job) noexcept;
#if defined(__x86_64__)
void ao_band_avx2(const AoBandJob& job) noexcept;
void ao_band_avx512(const AoBandJob& job) noexcept;
#endif

}  // namespace rk
