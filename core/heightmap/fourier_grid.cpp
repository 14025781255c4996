#include "heightmap/fourier_grid.h"

#include <kiss_fft.h>

#include <algorithm>
#include <cstring>

namespace rk {
namespace {

static_assert(sizeof(kiss_fft_cpx) == sizeof(std::complex<float>),
              "kissfft's complex is two floats, as std::complex<float>");

// Columns are transformed this many at a time through a transposed block, so
// that each column is read and written once in whole cache lines.
constexpr uint32_t kColumnBlock = 16;

kiss_fft_cpx* as_kiss(std::complex<float>* p) noexcept {
    return reinterpret_cast<kiss_fft_cpx*>(p);
}

}  // namespace

FourierGrid::FourierGrid(uint32_t width, uint32_t height) : width_(width), height_(height) {
    if (width == 0 || height == 0) return;
    cells_.resize(size_t{width} * height);
    line_.resize(std::max(width, height));
    block_.resize(size_t{kColumnBlock} * height);
    for (int d = 0; d < 2; ++d) {
        row_plans_[d] = kiss_fft_alloc(static_cast<int>(width), d, nullptr, nullptr);
        column_plans_[d] = kiss_fft_alloc(static_cast<int>(height), d, nullptr, nullptr);
    }
    valid_ = row_plans_[0] && row_plans_[1] && column_plans_[0] && column_plans_[1];
}

FourierGrid::~FourierGrid() {
    for (int d = 0; d < 2; ++d) {
        kiss_fft_free(row_plans_[d]);
        kiss_fft_free(column_plans_[d]);
    }
}

uint32_t FourierGrid::fast_size(uint32_t n) noexcept {
    for (;; ++n) {
        uint32_t m = n;
        for (uint32_t p : {2u, 3u, 5u}) {
            while (m % p == 0) m /= p;
        }
        if (m <= 1) return n;
    }
}

// Each row and each column is one independent transform whose result does not
// depend on the others, so the output is the same however the work is split.
void FourierGrid::transform(int direction) noexcept {
    if (!valid_) return;
    const auto rows = static_cast<kiss_fft_cfg>(row_plans_[direction]);
    const auto columns = static_cast<kiss_fft_cfg>(column_plans_[direction]);
    std::complex<float>* line = line_.data();
    std::complex<float>* block = block_.data();
    for (uint32_t y = 0; y < height_; ++y) {
        kiss_fft(rows, as_kiss(row(y)), as_kiss(line));
        std::memcpy(row(y), line, sizeof(line[0]) * width_);
    }
    for (uint32_t x0 = 0; x0 < width_; x0 += kColumnBlock) {
        const uint32_t n = std::min(kColumnBlock, width_ - x0);
        for (uint32_t y = 0; y < height_; ++y) {
            const std::complex<float>* src = row(y) + x0;
            for (uint32_t i = 0; i < n; ++i) block[size_t{i} * height_ + y] = src[i];
        }
        for (uint32_t i = 0; i < n; ++i) {
            std::complex<float>* column = block + size_t{i} * height_;
            kiss_fft(columns, as_kiss(column), as_kiss(line));
            std::memcpy(column, line, sizeof(line[0]) * height_);
        }
        for (uint32_t y = 0; y < height_; ++y) {
            std::complex<float>* dst = row(y) + x0;
            for (uint32_t i = 0; i < n; ++i) dst[i] = block[size_t{i} * height_ + y];
        }
    }
}

}  // namespace rk
