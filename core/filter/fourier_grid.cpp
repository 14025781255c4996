#include "filter/fourier_grid.h"

#include <kiss_fft.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

#include "common/checked_size.h"
#include "common/thread_pool.h"
#include "filter/spectral.h"

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

// a * b, or a * conj(b): spelt out, as std::complex's product checks every
// result for NaN on the way, and these loops are the chirp transform's cost.
std::complex<float> times(std::complex<float> a, std::complex<float> b, bool conj_b) noexcept {
    const float bi = conj_b ? -b.imag() : b.imag();
    return {a.real() * b.real() - a.imag() * bi, a.real() * bi + a.imag() * b.real()};
}

}  // namespace

void FftPlanFree::operator()(void* plan) const noexcept {
    kiss_fft_free(plan);
}

// Bluestein's chirp-z transform: an n-point DFT as a circular convolution of
// fast length m >= 2n - 1. With c_j = exp(-i pi j^2 / n), jk = (j^2 + k^2 -
// (k - j)^2) / 2 makes X_k = c_k sum_j (x_j c_j) conj(c_(k-j)), a convolution
// with the chirp. The inverse direction conjugates every phase; the chirp
// kernel being even, its spectrum's conjugate is the inverse's kernel, so one
// of each is kept. The plans are only read while transforming, so threads
// share them; each caller brings 2m values of scratch.
class ChirpTransform {
  public:
    explicit ChirpTransform(uint32_t n)
        : n_(n), m_(FourierGrid::fast_size(2 * n - 1)), chirp_(n), kernel_(m_) {
        for (int d = 0; d < 2; ++d)
            plans_[d].reset(kiss_fft_alloc(static_cast<int>(m_), d, nullptr, nullptr));
        if (!valid()) return;
        // j^2 taken modulo 2n, where the phase repeats, so that the angle
        // keeps its precision at every length; double, then rounded once.
        for (uint64_t j = 0; j < n; ++j) {
            const double a = std::numbers::pi * static_cast<double>(j * j % (2 * uint64_t{n})) / n;
            chirp_[j] = {static_cast<float>(std::cos(a)), static_cast<float>(-std::sin(a))};
        }
        std::vector<std::complex<float>> b(m_), spectrum(m_);
        b[0] = std::conj(chirp_[0]);
        for (uint32_t j = 1; j < n; ++j) b[j] = b[m_ - j] = std::conj(chirp_[j]);
        kiss_fft(plan(0), as_kiss(b.data()), as_kiss(spectrum.data()));
        // The inverse plan's factor m, taken out here once.
        const double scale = 1.0 / m_;
        for (uint32_t k = 0; k < m_; ++k) {
            kernel_[k] = {static_cast<float>(spectrum[k].real() * scale),
                          static_cast<float>(spectrum[k].imag() * scale)};
        }
    }
    ChirpTransform(const ChirpTransform&) = delete;
    ChirpTransform& operator=(const ChirpTransform&) = delete;

    bool valid() const noexcept { return plans_[0] && plans_[1]; }
    uint32_t scratch_size() const noexcept { return 2 * m_; }

    // in and out (n values each) may be the same; direction 0 is forward,
    // 1 inverse, both unnormalised as kissfft's.
    void run(const std::complex<float>* in, std::complex<float>* out, int direction,
             std::complex<float>* scratch) const noexcept {
        const bool inv = direction != 0;
        std::complex<float>* a = scratch;
        std::complex<float>* spectrum = scratch + m_;
        for (uint32_t j = 0; j < n_; ++j) a[j] = times(in[j], chirp_[j], inv);
        std::fill(a + n_, a + m_, std::complex<float>(0.0f, 0.0f));
        // Out of place: kissfft allocates for a transform in place.
        kiss_fft(plan(0), as_kiss(a), as_kiss(spectrum));
        for (uint32_t k = 0; k < m_; ++k) spectrum[k] = times(spectrum[k], kernel_[k], inv);
        kiss_fft(plan(1), as_kiss(spectrum), as_kiss(a));
        for (uint32_t k = 0; k < n_; ++k) out[k] = times(a[k], chirp_[k], inv);
    }

  private:
    kiss_fft_cfg plan(int direction) const noexcept {
        return static_cast<kiss_fft_cfg>(plans_[direction].get());
    }

    uint32_t n_;
    uint32_t m_;
    FftPlan plans_[2];
    std::vector<std::complex<float>> chirp_;
    std::vector<std::complex<float>> kernel_;  // the chirp's spectrum over m
};

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
    valid_ = true;
    size_t chirp_scratch = 0;
    if (!small_factors(width / 2)) {
        row_chirp_ = std::make_unique<ChirpTransform>(width);
        valid_ = row_chirp_->valid();
        chirp_scratch = row_chirp_->scratch_size();
    } else {
        row_plans_.resize(size_t{2} * workers_);
        for (size_t i = 0; i < row_plans_.size(); ++i) {
            row_plans_[i].reset(kiss_fftr_alloc(static_cast<int>(width), static_cast<int>(i % 2),
                                                nullptr, nullptr));
            valid_ = valid_ && row_plans_[i];
        }
    }
    if (!small_factors(height)) {
        column_chirp_ = std::make_unique<ChirpTransform>(height);
        valid_ = valid_ && column_chirp_->valid();
        chirp_scratch = std::max<size_t>(chirp_scratch, column_chirp_->scratch_size());
    } else {
        for (int d = 0; d < 2; ++d) {
            column_plans_[d].reset(kiss_fft_alloc(static_cast<int>(height), d, nullptr, nullptr));
            valid_ = valid_ && column_plans_[d];
        }
    }
    line_size_ = std::max({columns_, height, row_chirp_ ? width : 0u});
    worker_size_ = line_size_ + size_t{kColumnBlock} * height + chirp_scratch;
    scratch_.resize(size_t{workers_} * worker_size_);
}

FourierGrid::~FourierGrid() = default;

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
    return scratch_.data() + size_t{worker} * worker_size_;
}

std::complex<float>* FourierGrid::block(uint32_t worker) noexcept {
    return line(worker) + line_size_;
}

std::complex<float>* FourierGrid::chirp_work(uint32_t worker) noexcept {
    return block(worker) + size_t{kColumnBlock} * height_;
}

// Each row and each column is one independent transform whose result does not
// depend on the others, so the output is the same however the work is split.
// The complex plans are only read while transforming, so threads share them;
// the real ones keep scratch of their own, so each worker has its pair.
void FourierGrid::forward() noexcept {
    if (!valid_) return;
    if (row_chirp_) {
        // The row as a complex signal; the first half of its spectrum and
        // the middle are what kiss_fftr would give.
        parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
            std::complex<float>* l = line(b);
            for (uint32_t y = y0; y < y1; ++y) {
                const float* r = real_row(y);
                for (uint32_t x = 0; x < width_; ++x) l[x] = {r[x], 0.0f};
                row_chirp_->run(l, l, 0, chirp_work(b));
                std::memcpy(row(y), l, sizeof(l[0]) * columns_);
            }
        });
        transform_columns(0);
        return;
    }
    parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[2 * size_t{b}].get());
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
    if (row_chirp_) {
        // The whole spectrum from its half (the rest mirrored and conjugated);
        // the real parts of its inverse are the row. The imaginary parts at 0
        // and at the middle go into the imaginary parts only, ignored as
        // kiss_fftri ignores them.
        parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
            std::complex<float>* l = line(b);
            for (uint32_t y = y0; y < y1; ++y) {
                const std::complex<float>* s = row(y);
                std::memcpy(l, s, sizeof(l[0]) * columns_);
                for (uint32_t k = columns_; k < width_; ++k) l[k] = std::conj(s[width_ - k]);
                row_chirp_->run(l, l, 1, chirp_work(b));
                float* r = real_row(y);
                for (uint32_t x = 0; x < width_; ++x) r[x] = l[x].real();
            }
        });
        return;
    }
    parallel_bands(height_, workers_, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        const auto rows = static_cast<kiss_fftr_cfg>(row_plans_[2 * size_t{b} + 1].get());
        std::complex<float>* l = line(b);
        for (uint32_t y = y0; y < y1; ++y) {
            std::memcpy(l, row(y), sizeof(l[0]) * columns_);
            kiss_fftri(rows, as_kiss(l), real_row(y));
        }
    });
}

void FourierGrid::transform_columns(int direction) noexcept {
    const auto plan = static_cast<kiss_fft_cfg>(column_plans_[direction].get());
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
                if (column_chirp_) {
                    column_chirp_->run(column, column, direction, chirp_work(b));
                    continue;
                }
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
