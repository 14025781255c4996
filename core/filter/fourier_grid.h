// The two-dimensional discrete Fourier transform of a real image, on kissfft's
// scalar single-precision build: the image's rows are kept as their half
// spectra (the other half of a real image's spectrum is its mirror image).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/block_cache.h"

namespace rk {

class ChirpTransform;

// A kissfft plan, of either kind: kiss_fft_free and kiss_fftr_free are both
// the allocator's free. Held by its owner from the moment it is made, so a
// later allocation that throws in a constructor frees the plans made before.
struct FftPlanFree {
    void operator()(void* plan) const noexcept;
};
using FftPlan = std::unique_ptr<void, FftPlanFree>;

// Owns the plans of both directions and every buffer the transform needs, so
// transforming allocates nothing. Construction throws std::bad_alloc when the
// grid cannot be had; a grid whose plans could not be had reports !valid().
// Rows, and blocks of columns, are transformed on the library's threads (as
// many as were in force at construction, each with its own scratch); every
// row and column is one transform whatever thread runs it, so the result is
// the same for every thread count. A length with a prime factor above 97
// (see small_factors) would cost kissfft's generic radix O(n^2); its lines
// are transformed through a chirp convolution of a fast length instead
// (ChirpTransform), so every grid size costs O(n log n).
class FourierGrid {
  public:
    // width must be even.
    FourierGrid(uint32_t width, uint32_t height);
    FourierGrid(const FourierGrid&) = delete;
    FourierGrid& operator=(const FourierGrid&) = delete;
    ~FourierGrid();  // out of line, where ChirpTransform is whole

    bool valid() const noexcept { return valid_; }
    uint32_t width() const noexcept { return width_; }      // of the image
    uint32_t columns() const noexcept { return columns_; }  // of the spectrum: width / 2 + 1
    uint32_t height() const noexcept { return height_; }
    std::complex<float>* row(uint32_t y) noexcept {
        return cells_.get<std::complex<float>>() + size_t{y} * columns_;
    }
    // The image's row y before forward() and after inverse(); it shares the
    // spectrum's memory.
    float* real_row(uint32_t y) noexcept { return reinterpret_cast<float*>(row(y)); }

    // In place, unnormalised: inverse(forward(g)) is g times width * height.
    void forward() noexcept;
    void inverse() noexcept;

    // The smallest even size at or above n that the transform handles fast
    // (factors 2, 3 and 5 only).
    static uint32_t fast_size(uint32_t n) noexcept;

  private:
    void transform_columns(int direction) noexcept;
    std::complex<float>* line(uint32_t worker) noexcept;        // one transform's output
    std::complex<float>* block(uint32_t worker) noexcept;       // a block of columns, transposed
    std::complex<float>* chirp_work(uint32_t worker) noexcept;  // a ChirpTransform's

    uint32_t width_;
    uint32_t columns_;
    uint32_t height_;
    uint32_t workers_ = 1;
    bool valid_ = false;
    size_t line_size_ = 0;    // of line(): a row's spectrum, a column, a whole chirped row
    size_t worker_size_ = 0;  // of each worker's scratch
    // A 4096 x 4096 image mirrored both ways: 256 MiB, from the block cache,
    // zeroed at construction.
    Block cells_;
    std::vector<std::complex<float>> scratch_;  // per worker: a line, then a block
    std::vector<FftPlan> row_plans_;  // per worker and direction: the real plans hold scratch
    FftPlan column_plans_[2];
    // Set for lengths with a large prime factor, which then take no plan
    // above: the rows' as complex transforms of length width (a real row
    // with zero imaginary parts), the columns' of length height.
    std::unique_ptr<ChirpTransform> row_chirp_;
    std::unique_ptr<ChirpTransform> column_chirp_;
};

}  // namespace rk
