// Separable convolution with a kernel of taps k = 0..size-1 around radius
// r = (size - 1) / 2, clamp-to-edge or wrapping (EdgeMode). Each output pixel is
// (norm * S.r, norm * S.g, norm * S.b, 1.0) where S adds weights4[k] * pixel in
// tap order, in single precision.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

using Taps4 = const float (*)[4];

// Horizontal pass over columns 0..x_last, rows 0..y_last (both lowered to the
// image's last column and row). dst and src are distinct images of equal size;
// anything else leaves dst untouched. Wrapping reads across the ends of the
// columns (rows) the pass covers.
void convolve_rows(imgbuf* dst, const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                   uint32_t x_last, uint32_t y_last, EdgeMode edge = EDGE_CLAMP) noexcept;
// Vertical pass, likewise.
void convolve_columns(imgbuf* dst, const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                      uint32_t x_last, uint32_t y_last, EdgeMode edge = EDGE_CLAMP) noexcept;

// Blurs img in place through a whole temporary image: rows into it, columns
// back. The form for wrapping, whose first rows need the last rows' horizontal
// results (and the last rows the first ones'), which a banded blur has not kept.
// False, with img untouched, when the temporary image cannot be had.
bool blur_whole(imgbuf* img, Taps4 weights4, uint32_t size, float norm, EdgeMode edge) noexcept;

// One output pixel at x of a row of count pixels.
void convolve_row_at(float out[4], const float* row, Taps4 weights4, uint32_t size, float norm,
                     uint32_t count, uint32_t x, EdgeMode edge = EDGE_CLAMP) noexcept;
// One output pixel at (x, y) of column x of src, of height rows.
void convolve_column_at(float out[4], const imgbuf* src, Taps4 weights4, uint32_t size, float norm,
                        uint32_t height, uint32_t x, uint32_t y,
                        EdgeMode edge = EDGE_CLAMP) noexcept;

// The horizontal results a banded blur keeps: source row r is at row(r) for as
// long as a band of output rows needs it.
struct BandRing {
    float* pixels;
    size_t stride;  // floats per row
    uint32_t rows;
    float* row(uint32_t r) const noexcept { return pixels + size_t{r % rows} * stride; }
};

// What a banded blur does between its passes; by default nothing. The image may
// be swept as several chunks of rows at once, each on its own thread with its
// own ring; chunk numbers the sweep, 0 .. chunks-1.
class BandObserver {
  public:
    // Called before any row with the number of chunks; false when the observer
    // cannot serve that many (the blur then fails, the image untouched).
    virtual bool start(uint32_t chunks) noexcept;
    // Source row y's horizontal result has just been written to row, which the
    // observer may change before any vertical sum reads it. Image rows y - 1
    // .. y + 1 still hold their own pixels. A row next to a chunk's edge is
    // done once by each chunk that needs it, with the same result.
    virtual void row_done(uint32_t chunk, uint32_t y, float* row) noexcept;
    // The vertical results of rows y0..y1-1 are in out (row y0 first, rows one
    // image stride apart), which the observer may change before they go into
    // the image; the ring still holds their horizontal results.
    virtual void band_done(uint32_t chunk, uint32_t y0, uint32_t y1, const BandRing& ring,
                           float* out) noexcept;

  protected:
    ~BandObserver() = default;
};

// Blurs img in place, rows then columns, giving the bits that convolve_rows into
// a temporary image and convolve_columns back give. The horizontal results live
// only in a ring of the rows one band of output rows needs instead of a second
// whole image, so the blur writes and reads back no full-size temporary. A tall
// image is cut into chunks of rows swept in parallel (see common/thread_pool.h),
// each with its own ring; the results do not depend on the cut. False, with img
// untouched, when the ring cannot be had or the kernel is longer than the
// passes take.
bool blur_in_bands(imgbuf* img, Taps4 weights4, uint32_t size, float norm,
                   BandObserver* observer = nullptr) noexcept;
// The rows of the ring that blur_in_bands keeps for a kernel of size taps over an
// image of height rows: an observer's own per-row data fits a ring this long.
uint32_t band_ring_rows(uint32_t size, uint32_t height) noexcept;

// The instruction-set builds of the whole-image passes. All give the same bits;
// the passes above use the widest one the processor runs.
enum ConvolvePath : uint32_t { CONVOLVE_PLAIN = 0, CONVOLVE_AVX2 = 1, CONVOLVE_AVX512 = 2 };

bool convolve_path_supported(ConvolvePath path) noexcept;
ConvolvePath convolve_best_path() noexcept;

// The passes on a chosen build, for comparing the builds; a build the processor
// cannot run falls back to the plain one.
void convolve_rows_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 weights4,
                      uint32_t size, float norm, uint32_t x_last, uint32_t y_last,
                      EdgeMode edge = EDGE_CLAMP) noexcept;
void convolve_columns_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 weights4,
                         uint32_t size, float norm, uint32_t x_last, uint32_t y_last,
                         EdgeMode edge = EDGE_CLAMP) noexcept;
bool blur_in_bands_on(ConvolvePath path, imgbuf* img, Taps4 weights4, uint32_t size, float norm,
                      BandObserver* observer = nullptr) noexcept;

}  // namespace rk
