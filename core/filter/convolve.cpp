#include "filter/convolve.h"

#include <algorithm>
#include <optional>

#include "filter/convolve_paths.h"

namespace rk {
namespace {

// Position p of a line whose last pixel is last: clamped, or wrapped across the
// opposite end as often as needed.
inline int64_t edge_pos(int64_t p, int64_t last, EdgeMode edge) noexcept {
    if (edge != EDGE_WRAP) return std::clamp<int64_t>(p, 0, last);
    const int64_t m = p % (last + 1);
    return m < 0 ? m + last + 1 : m;
}

// Sums taps over pixels at base + clamp(p - r + k) * step (floats), in tap order.
inline void sum_line(float out[4], const float* base, size_t step, Taps4 w, uint32_t size,
                     float norm, int64_t p, int64_t last, EdgeMode edge) noexcept {
    const int64_t r = (size - 1) / 2;
    float s[4] = {0, 0, 0, 0};
    for (uint32_t k = 0; k < size; ++k) {
        const float* px = base + static_cast<size_t>(edge_pos(p - r + k, last, edge)) * step;
        for (int c = 0; c < 4; ++c) s[c] += w[k][c] * px[c];
    }
    out[0] = s[0] * norm;
    out[1] = s[1] * norm;
    out[2] = s[2] * norm;
    out[3] = 1.0f;
}

// Output rows per band of a banded blur: enough for whole blocks of the vertical
// pass, few enough that the ring of a short kernel stays in the level-2 cache.
constexpr uint32_t kBandRows = 16;

struct NoObserver final : BandObserver {};

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
                                    float norm, uint32_t x_last, uint32_t y_last,
                                    EdgeMode edge) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !w || dst->pixels == src->pixels) return {};
    if (!same_size(dst, src) || dst->width == 0 || dst->height == 0) return {};
    ConvolveJob job{dst->pixels,
                    src->pixels,
                    stride_floats(dst),
                    std::min(x_last, dst->width - 1) + 1,
                    std::min(y_last, dst->height - 1) + 1,
                    w,
                    size,
                    norm};
    job.wrap = edge == EDGE_WRAP;
    return job;
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
            sum_line(d + 4 * size_t{x}, s, 4, job.weights4, job.size, job.norm, x, job.width - 1,
                     job.wrap ? EDGE_WRAP : EDGE_CLAMP);
        }
    }
}

void columns_by_pixel(const ConvolveJob& job) noexcept {
    for (uint32_t y = 0; y < job.height; ++y) {
        float* d = job.dst + y * job.stride;
        for (uint32_t x = 0; x < job.width; ++x) {
            sum_line(d + 4 * size_t{x}, job.src + 4 * size_t{x}, job.stride, job.weights4, job.size,
                     job.norm, y, job.height - 1, job.wrap ? EDGE_WRAP : EDGE_CLAMP);
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
                      float norm, uint32_t x_last, uint32_t y_last, EdgeMode edge) noexcept {
    const auto job = make_job(dst, src, w, size, norm, x_last, y_last, edge);
    if (!job) return;
    if (fits_passes(*job)) {
        passes_of(path).rows(*job);
    } else {
        rows_by_pixel(*job);
    }
}

void convolve_columns_on(ConvolvePath path, imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size,
                         float norm, uint32_t x_last, uint32_t y_last, EdgeMode edge) noexcept {
    const auto job = make_job(dst, src, w, size, norm, x_last, y_last, edge);
    if (!job) return;
    if (fits_passes(*job)) {
        passes_of(path).columns(*job);
    } else {
        columns_by_pixel(*job);
    }
}

void BandObserver::row_done(uint32_t, float*) noexcept {}
void BandObserver::band_done(uint32_t, uint32_t, const BandRing&) noexcept {}

uint32_t band_ring_rows(uint32_t size, uint32_t height) noexcept {
    // Output rows [y0, y0 + kBandRows) read source rows y0 - left .. y0 +
    // kBandRows - 1 + right, all still in a ring of this many rows.
    return std::min(height, size - 1 + kBandRows);
}

bool blur_in_bands_on(ConvolvePath path, imgbuf* img, Taps4 w, uint32_t size, float norm,
                      BandObserver* observer) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0 || !w) return false;
    if (size < 1 || size > kMaxConvolveTaps) return false;
    const uint32_t h = img->height;
    const uint32_t right = size - 1 - (size - 1) / 2;
    const uint32_t ring_rows = band_ring_rows(size, h);
    ImgbufPtr ring_image = make_image(img->width, ring_rows);
    if (!ring_image) return false;
    const BandRing ring{ring_image->pixels, stride_floats(img), ring_rows};
    NoObserver nothing;
    BandObserver& obs = observer ? *observer : nothing;
    const PathPasses passes = passes_of(path);

    ConvolveJob rows{nullptr, nullptr, ring.stride, img->width, 0, w, size, norm};
    ConvolveJob columns{img->pixels, ring.pixels, ring.stride, img->width, h, w, size, norm};
    columns.src_ring = ring_rows;
    uint32_t next = 0;  // the first source row without its horizontal result
    for (uint32_t y0 = 0; y0 < h; y0 += kBandRows) {
        const uint32_t y1 = std::min(h, y0 + kBandRows);
        // Rows from next on are still the image's own: no band has written them.
        const uint32_t needed = std::min(h, y1 + right);
        while (next < needed) {
            const uint32_t slot = next % ring_rows;
            rows.height = std::min(needed - next, ring_rows - slot);
            rows.dst = ring.row(next);
            rows.src = row_unchecked(img, next);
            passes.rows(rows);
            for (uint32_t r = next; r < next + rows.height; ++r) obs.row_done(r, ring.row(r));
            next += rows.height;
        }
        columns.first_row = y0;
        columns.rows = y1 - y0;
        passes.columns(columns);
        obs.band_done(y0, y1, ring);
    }
    return true;
}

bool blur_in_bands(imgbuf* img, Taps4 w, uint32_t size, float norm,
                   BandObserver* observer) noexcept {
    return blur_in_bands_on(convolve_best_path(), img, w, size, norm, observer);
}

void convolve_rows(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                   uint32_t x_last, uint32_t y_last, EdgeMode edge) noexcept {
    convolve_rows_on(convolve_best_path(), dst, src, w, size, norm, x_last, y_last, edge);
}

void convolve_columns(imgbuf* dst, const imgbuf* src, Taps4 w, uint32_t size, float norm,
                      uint32_t x_last, uint32_t y_last, EdgeMode edge) noexcept {
    convolve_columns_on(convolve_best_path(), dst, src, w, size, norm, x_last, y_last, edge);
}

bool blur_whole(imgbuf* img, Taps4 w, uint32_t size, float norm, EdgeMode edge) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0 || !w || size < 1) return false;
    ImgbufPtr tmp = make_image(img->width, img->height);
    if (!tmp) return false;
    convolve_rows(tmp.get(), img, w, size, norm, img->width - 1, img->height - 1, edge);
    convolve_columns(img, tmp.get(), w, size, norm, img->width - 1, img->height - 1, edge);
    return true;
}

void convolve_row_at(float out[4], const float* row, Taps4 w, uint32_t size, float norm,
                     uint32_t count, uint32_t x, EdgeMode edge) noexcept {
    if (count == 0) return;
    sum_line(out, row, 4, w, size, norm, x, int64_t{count} - 1, edge);
}

void convolve_column_at(float out[4], const imgbuf* src, Taps4 w, uint32_t size, float norm,
                        uint32_t height, uint32_t x, uint32_t y, EdgeMode edge) noexcept {
    if (!has_pixels(src) || x >= src->width) return;
    height = std::min(height, src->height);  // never read below the image
    if (height == 0) return;
    sum_line(out, src->pixels + 4 * size_t{x}, stride_floats(src), w, size, norm, y,
             int64_t{height} - 1, edge);
}

}  // namespace rk
