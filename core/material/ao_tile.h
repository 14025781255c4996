// One square of the occlusion map for one line set, as each instruction-set
// build provides it. The files that include this are compiled for different
// processors, so it holds no inline function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "material/ao_geometry.h"

namespace rk {

// Pixels per side of a square: with the one extra line a row of pixels needs,
// the lines of a row fill eight vectors of eight lanes.
inline constexpr uint32_t kAoTile = 63;
inline constexpr uint32_t kAoLanes = kAoTile + 1;
// Line samples per row of a square's line buffer: the lanes of a row, the one
// line past them that its last pixel blends with, and the shift of the lines
// across the square's rows (|slope| <= 1), rounded up to whole vectors.
inline constexpr uint32_t kAoLineColumns = kAoLanes + kAoTile + 9;
// Rows of the line buffer: the square's rows and, on each side a ray looks
// towards, the farthest step, the sample past it for the radius's end and the
// seven more a block's bound spans.
inline constexpr uint32_t kAoLineRows = kAoTile + 2 * (kAoMaxFarSteps + 9);

// Scratch of one worker, reused square after square.
struct AoScratch {
    float lines[kAoLineRows * kAoLineColumns];   // line samples
    float bounds[kAoLineRows * kAoLineColumns];  // maxima of 8 samples along each line
    float result[kAoTile * kAoLanes];            // one set's occlusion, Q orientation
};

struct AoTileJob {
    const float* plane;   // Q at row 0, column 0 of the image (padding around it)
    ptrdiff_t stride;     // floats per Q row
    int32_t row0, col0;   // the square's first Q row and column
    uint32_t rows, cols;  // its size (kAoTile but at the image's far edges)
    const AoLineSet* set;
    // The sums of the directions' occlusion so far, in Q's orientation: pixel
    // (x, y) of the square at sum[y * kAoTile + x] for the sets closer to
    // vertical, at sum_across[x * kAoTile + y] for the transposed ones.
    float* sum;
    float* sum_across;
    AoScratch* scratch;
};

// Adds the occlusion of every ray of the set to the square's sum.
void ao_tile_plain(const AoTileJob& job) noexcept;
#if defined(__x86_64__)
void ao_tile_avx2(const AoTileJob& job) noexcept;
#endif

}  // namespace rk
