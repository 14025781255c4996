// A periodic grid of complex values and its two-dimensional discrete Fourier
// transform, on kissfft's scalar single-precision build.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace rk {

// Owns the plans of both directions and every buffer the transform needs, so
// transforming allocates nothing. Construction throws std::bad_alloc when the
// grid cannot be had; a grid whose plans could not be had reports !valid().
class FourierGrid {
public:
    FourierGrid(uint32_t width, uint32_t height);
    FourierGrid(const FourierGrid&) = delete;
    FourierGrid& operator=(const FourierGrid&) = delete;
    ~FourierGrid();

    bool valid() const noexcept { return valid_; }
    uint32_t width() const noexcept { return width_; }
    uint32_t height() const noexcept { return height_; }
    std::complex<float>* row(uint32_t y) noexcept { return cells_.data() + size_t{y} * width_; }

    // In place, unnormalised: inverse(forward(g)) is g times width * height.
    void forward() noexcept { transform(0); }
    void inverse() noexcept { transform(1); }

    // The smallest size at or above n that the transform handles fast (factors
    // 2, 3 and 5 only).
    static uint32_t fast_size(uint32_t n) noexcept;

private:
    void transform(int direction) noexcept;

    uint32_t width_;
    uint32_t height_;
    bool valid_ = false;
    std::vector<std::complex<float>> cells_;
    std::vector<std::complex<float>> line_;   // one transform's output
    std::vector<std::complex<float>> block_;  // a block of columns, transposed
    void* row_plans_[2] = {nullptr, nullptr};
    void* column_plans_[2] = {nullptr, nullptr};
};

}  // namespace rk
