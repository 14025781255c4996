#include "heightmap/fourier_grid.h"

#include <kiss_fft.h>
#include <kiss_fftr.h>

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

FourierGrid::FourierGrid(uint32_t width, uint32_t height)
    : width_(width), columns_(width / 2 + 1), height_(height) {
    if (width == 0 || height == 0 || width % 2 != 0) return;
    cells_.resize(size_t{columns_} * height);
    line_.resize(std::max(columns_, height));
    block_.resize(size_t{kColumnBlock} * height);
    for (int d = 0; d < 2; ++d) {
        row_plans_[d] = kiss_fftr_alloc(static_cast<int>(width), d, nullptr, nullptr);
        column_plans_[d] = kiss_fft_alloc(static_cast<int>(height), d, nullptr, nullptr);
    }
    valid_ = row_plans_[0] && row_plans_[1] && column_plans_[0] && column_plans_[1];
}

FourierGrid::~FourierGrid() {
    for (int d = 0; d < 2; ++d) {
        kiss_fftr_free(row_plans_[d]);
        kiss_fft_free(column_plans_[d]);
    }
}

uint32_t FourierGrid::fast_size(uint32_t n) noexcept {
    for (n += n % 2;; n += 2) {
        uint32_t m = n;
        for (uint32_t p : {2u, 3u, 5u}) {
            while (m % p == 0) m /= p;
        }
        if (m <= 1) return n;
    }
}

// Each row and each column is one independent transform whose result does not
// depend on the others, so the output is the same however the work is split.
void FourierGrid::forward() noexcept {
    if (!valid_) return;
    const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[0]);
    for (uint32_t y = 0; y < height_; ++y) {
        kiss_fftr(rows, real_row(y), as_kiss(line_.data()));
        std::memcpy(row(y), line_.data(), sizeof(line_[0]) * columns_);
    }
    transform_columns(0);
}

void FourierGrid::inverse() noexcept {
    if (!valid_) return;
    transform_columns(1);
    const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[1]);
    for (uint32_t y = 0; y < height_; ++y) {
        std::memcpy(line_.data(), row(y), sizeof(line_[0]) * columns_);
        kiss_fftri(rows, as_kiss(line_.data()), real_row(y));
    }
}

void FourierGrid::transform_columns(int direction) noexcept {
    const auto plan = static_cast<kiss_fft_cfg>(column_plans_[direction]);
    std::complex<float>* line = line_.data();
    std::complex<float>* block = block_.data();
    for (uint32_t x0 = 0; x0 < columns_; x0 += kColumnBlock) {
        const uint32_t n = std::min(kColumnBlock, columns_ - x0);
        for (uint32_t y = 0; y < height_; ++y) {
            const std::complex<float>* src = row(y) + x0;
            for (uint32_t i = 0; i < n; ++i) block[size_t{i} * height_ + y] = src[i];
        }
        for (uint32_t i = 0; i < n; ++i) {
            std::complex<float>* column = block + size_t{i} * height_;
            kiss_fft(plan, as_kiss(column), as_kiss(line));
            std::memcpy(column, line, sizeof(line[0]) * height_);
        }
        for (uint32_t y = 0; y < height_; ++y) {
            std::complex<float>* dst = row(y) + x0;
            for (uint32_t i = 0; i < n; ++i) dst[i] = block[size_t{i} * height_ + y];
        }
    }
}

}  // namespace rk
