#include "filter/fourier_grid.h"

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "common/checked_size.h"
#include "common/thread_pool.h"

namespace rk {
namespace {

static_assert(sizeof(kiss_fft_cpx) == sizeof(std::complex<float>),
              "kissfft's complex is two floats, as std::complex<float>");

// Columns are transformed this many at a time through a transposed block, so
// that each column is read and written once in whole cache lines.
constexpr uint32_t kColumnBlock = 16;
// Rows per band of the row transforms.
constexpr uint32_t kBandRows = 16;

kiss_fft_cpx* as_kiss(std::complex<float>* p) noexcept {
    return reinterpret_cast<kiss_fft_cpx*>(p);
}

}  // namespace

FourierGrid::FourierGrid(uint32_t width, uint32_t height)
    : width_(width), columns_(width / 2 + 1), height_(height) {
    if (width == 0 || height == 0 || width % 2 != 0) return;
    // Zeroed by the threads in bands of rows: a fresh block's pages are
    // faulted in where they are first written, and on one thread the faults
    // of 256 MiB held every other thread waiting.
    const size_t row_bytes = size_t{columns_} * sizeof(std::complex<float>);
    const auto bytes = checked_product(row_bytes, height, 1, SIZE_MAX);
    if (!bytes) throw std::bad_alloc();
    cells_ = Block(static_cast<size_t>(*bytes));
    if (!cells_) throw std::bad_alloc();
    parallel_rows(height, kBandRows, [&](uint32_t y0, uint32_t y1) noexcept {
        std::memset(static_cast<void*>(row(y0)), 0, row_bytes * (y1 - y0));
    });
    workers_ = std::max(1u, std::min(thread_count(), row_bands(height, kBandRows)));
    scratch_.resize(size_t{workers_} * (std::max(columns_, height) + size_t{kColumnBlock} * height));
    row_plans_.assign(size_t{2} * workers_, nullptr);
    valid_ = true;
    for (size_t i = 0; i < row_plans_.size(); ++i) {
        row_plans_[i] = kiss_fftr_alloc(static_cast<int>(width), static_cast<int>(i % 2), nullptr,
                                        nullptr);
        valid_ = valid_ && row_plans_[i];
    }
    for (int d = 0; d < 2; ++d) {
        column_plans_[d] = kiss_fft_alloc(static_cast<int>(height), d, nullptr, nullptr);
        valid_ = valid_ && column_plans_[d];
    }
}

FourierGrid::~FourierGrid() {
    for (void* plan : row_plans_) kiss_fftr_free(plan);
    for (int d = 0; d < 2; ++d) kiss_fft_free(column_plans_[d]);
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

std::complex<float>* FourierGrid::line(uint32_t worker) noexcept {
    return scratch_.data() +
           size_t{worker} * (std::max(columns_, height_) + size_t{kColumnBlock} * height_);
}

std::complex<float>* FourierGrid::block(uint32_t worker) noexcept {
    return line(worker) + std::max(columns_, height_);
}

// Each row and each column is one independent transform whose result does not
// depend on the others, so the output is the same however the work is split.
// The complex plans are only read while transforming, so threads share them;
// the real ones keep scratch of their own, so each worker has its pair.
void FourierGrid::forward() noexcept {
    if (!valid_) return;
    parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[2 * size_t{b}]);
        std::complex<float>* l = line(b);
        for (uint32_t y = y0; y < y1; ++y) {
            kiss_fftr(rows, real_row(y), as_kiss(l));
            std::memcpy(row(y), l, sizeof(l[0]) * columns_);
        }
    });
    transform_columns(0);
}

void FourierGrid::inverse() noexcept {
    if (!valid_) return;
    transform_columns(1);
    parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[2 * size_t{b} + 1]);
        std::complex<float>* l = line(b);
        for (uint32_t y = y0; y < y1; ++y) {
            std::memcpy(l, row(y), sizeof(l[0]) * columns_);
            kiss_fftri(rows, as_kiss(l), real_row(y));
        }
    });
}

void FourierGrid::transform_columns(int direction) noexcept {
    const auto plan = static_cast<kiss_fft_cfg>(column_plans_[direction]);
    const uint32_t blocks = (columns_ + kColumnBlock - 1) / kColumnBlock;
    const uint32_t bands = std::min(workers_, blocks);
    parallel_bands(blocks, bands, [&](uint32_t b, uint32_t b0, uint32_t b1) noexcept {
        std::complex<float>* l = line(b);
        std::complex<float>* blk = block(b);
        for (uint32_t x0 = b0 * kColumnBlock; x0 < b1 * kColumnBlock; x0 += kColumnBlock) {
            const uint32_t n = std::min(kColumnBlock, columns_ - x0);
            for (uint32_t y = 0; y < height_; ++y) {
                const std::complex<float>* src = row(y) + x0;
                for (uint32_t i = 0; i < n; ++i) blk[size_t{i} * height_ + y] = src[i];
            }
            for (uint32_t i = 0; i < n; ++i) {
                std::complex<float>* column = blk + size_t{i} * height_;
                kiss_fft(plan, as_kiss(column), as_kiss(l));
                std::memcpy(column, l, sizeof(l[0]) * height_);
            }
            for (uint32_t y = 0; y < height_; ++y) {
                std::complex<float>* dst = row(y) + x0;
                for (uint32_t i = 0; i < n; ++i) dst[i] = blk[size_t{i} * height_ + y];
            }
        }
    });
}

}  // namespace rk
