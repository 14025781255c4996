#include "filter/convolve.h"

#include <algorithm>
#include <optional>

#include "filter/convolve_paths.h"

namespace rk {
namespace {

inline int64_t clamp_pos(int64_t p, int64_t last) noexcept {
    return std::clamp<int64_t>(p, 0, last);
}

// Sums taps over pixels at base + clamp(p - r + k) * step (floats), in tap order.
inline void sum_line(float out[4], const float* base, size_t step, Taps4 w, uint32_t size,
                     float norm, int64_t p, int64_t last) noexcept {
    const int64_t r = (size - 1) / 2;
    float s[4] = {0, 0, 0, 0};
    for (uint32_t k = 0; k < size; ++k) {
        const float* px = base + static_cast<size_t>(clamp_pos(p - r + k, last)) * step;
        for (int c = 0; c < 4; ++c) s[c] += w[k][c] * px[c];
    }
    out[0] = s[0] * norm;
    out[1] = s[1] * norm;
    out[2] = s[2] * norm;
    out[3] = 1.0f;
}

using PassFn = void (*)(const ConvolveJob&) noexcept;

struct PathPasses {
    PassFn rows;
    PassFn columns;
};

PathPasses passes_of(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (convolve_path_supported(path)) {
        if (path == CONVOLVE_AVX512) return {convolve_rows_avx512, convolve_columns_avx512};
        if (path == CONVOLVE_AVX2) return {convolve_rows_avx2, convolve_columns_avx2};
    }
#else
    (void)path;
#endif
    return {convolve_rows_plain, convolve_columns_plain};
}

// The job for a pass over dst, or nothing when the call breaks the rules
// (missing or aliased images, different sizes, no weights).
std::optional<ConvolveJob> make_job(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size,
                                    float norm, uint32_t x_last, uint32_t y_last) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !w || dst->pixels == src->pixels) return {};
    if (!same_size(dst, src) || dst->width == 0 || dst->height == 0) return {};
    return ConvolveJob{dst->pixels,
                       src->pixels,
                       stride_floats(dst),
                       std::min(x_last, dst->width - 1) + 1,
                       std::min(y_last, dst->height - 1) + 1,
                       w,
                       size,
                       norm};
}

// Sizes the passes have no stack scratch for (no kernel object has them) go
// through the single-pixel form.
bool fits_passes(const ConvolveJob& job) noexcept {
    return job.size >= 1 && job.size <= kMaxConvolveTaps;
}

void rows_by_pixel(const ConvolveJob& job) noexcept {
    for (uint32_t y = 0; y < job.height; ++y) {
        const float* s = job.src + y * job.stride;
        float* d = job.dst + y * job.stride;
        for (uint32_t x = 0; x < job.width; ++x) {
            sum_line(d + 4 * size_t{x}, s, 4, job.weights4, job.size, job.norm, x, job.width - 1);
        }
    }
}

void columns_by_pixel(const ConvolveJob& job) noexcept {
    for (uint32_t y = 0; y < job.height; ++y) {
        float* d = job.dst + y * job.stride;
        for (uint32_t x = 0; x < job.width; ++x) {
            sum_line(d + 4 * size_t{x}, job.src + 4 * size_t{x}, job.stride, job.weights4, job.size,
                     job.norm, y, job.height - 1);
        }
    }
}

}  // namespace

bool convolve_path_supported(ConvolvePath path) noexcept {
    switch (path) {
        case CONVOLVE_PLAIN:
            return true;
#if defined(__x86_64__)
        case CONVOLVE_AVX2:
            return __builtin_cpu_supports("avx2");
        case CONVOLVE_AVX512:
            return __builtin_cpu_supports("avx512f");
#endif
        default:
            return false;
    }
}

ConvolvePath convolve_best_path() noexcept {
    static const ConvolvePath best = convolve_path_supported(CONVOLVE_AVX512) ? CONVOLVE_AVX512
                                     : convolve_path_supported(CONVOLVE_AVX2) ? CONVOLVE_AVX2
                                                                              : CONVOLVE_PLAIN;
    return best;
}

void convolve_rows_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size,
                      float norm, uint32_t x_last, uint32_t y_last) noexcept {
    const auto job = make_job(dst, src, w, size, norm, x_last, y_last);
    if (!job) return;
    if (fits_passes(*job)) {
        passes_of(path).rows(*job);
    } else {
        rows_by_pixel(*job);
    }
}

void convolve_columns_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size,
                         float norm, uint32_t x_last, uint32_t y_last) noexcept {
    const auto job = make_job(dst, src, w, size, norm, x_last, y_last);
    if (!job) return;
    if (fits_passes(*job)) {
        passes_of(path).columns(*job);
    } else {
        columns_by_pixel(*job);
    }
}

void convolve_rows(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                   uint32_t x_last, uint32_t y_last) noexcept {
    convolve_rows_on(convolve_best_path(), dst, src, w, size, norm, x_last, y_last);
}

void convolve_columns(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                      uint32_t x_last, uint32_t y_last) noexcept {
    convolve_columns_on(convolve_best_path(), dst, src, w, size, norm, x_last, y_last);
}

void convolve_row_at(float out[4], const float* row, Taps4 w, uint32_t size, float norm,
                     uint32_t count, uint32_t x) noexcept {
    if (count == 0) return;
    sum_line(out, row, 4, w, size, norm, x, int64_t{count} - 1);
}

void convolve_column_at(float out[4], const imgbuf* src, Taps4 w, uint32_t size, float norm,
                        uint32_t height, uint32_t x, uint32_t y) noexcept {
    if (!has_pixels(src) || x >= src->width) return;
    height = std::min(height, src->height);  // never read below the image
    if (height == 0) return;
    sum_line(out, src->pixels + 4 * size_t{x}, stride_floats(src), w, size, norm, y,
             int64_t{height} - 1);
}

}  // namespace rk
