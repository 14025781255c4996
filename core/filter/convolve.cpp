#include "filter/convolve.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "common/export_boundary.h"
#include "common/thread_pool.h"
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

// As the passes' finish: a NaN leaves as the one quiet NaN, whichever it was.
inline float one_nan(float v) noexcept {
    return v == v ? v : std::bit_cast<float>(kQuietNaNBits);
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
    for (int c = 0; c < 3; ++c) out[c] = one_nan(s[c] * norm);
    out[3] = 1.0f;
}

// Output rows per band of a banded blur: whole blocks of the vertical pass (a
// multiple of 16), few enough that the ring of a short kernel stays in the
// level-2 cache. A long kernel's ring does not fit there anyway and each band
// reads all of it back from further out, so its bands grow to about half the
// kernel: each ring row is read by about 3 bands instead of 7 (size 99: the
// AVX-512 build about 10 % faster, the AVX2 build 0 to 10 %).
constexpr uint32_t kMinBandRows = 16;

uint32_t band_rows(uint32_t size) noexcept {
    return std::max(kMinBandRows, (size / 2 + 15) / 16 * 16);
}

struct NoObserver final : BandObserver {};

using PassFn = void (*)(const ConvolveJob&) noexcept;

struct PathPasses {
    PassFn rows;
    PassFn columns;
    // Pixels by which a banded blur's ring rows are longer than the image's.
    uint32_t ring_pad = 0;
};

PathPasses passes_of(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (convolve_path_supported(path)) {
        if (path == CONVOLVE_AVX512) return {convolve_rows_avx512, convolve_columns_avx512};
        // AVX2's vertical blocks take half a 64-byte line of each source row
        // per step and the other half one step later. With a power-of-two image
        // row the ring rows a step reads all fall in one set of the level-1
        // cache and push each other out before that; one line of padding spreads
        // them (size 99: the vertical pass about a sixth faster). AVX-512's
        // blocks take whole lines and gain nothing from it.
        if (path == CONVOLVE_AVX2) return {convolve_rows_avx2, convolve_columns_avx2, 4};
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
    job.src_stride = stride_floats(src);  // a wrapped image's rows may lie apart differently
    return job;
}

// Sizes the passes have no stack scratch for (no kernel object has them) go
// through the single-pixel form.
bool fits_passes(const ConvolveJob& job) noexcept {
    return job.size >= 1 && job.size <= kMaxConvolveTaps;
}

void rows_by_pixel(const ConvolveJob& job) noexcept {
    for (uint32_t y = 0; y < job.height; ++y) {
        const float* s = job.src + y * job.src_stride;
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
            sum_line(d + 4 * size_t{x}, job.src + 4 * size_t{x}, job.src_stride, job.weights4, job.size,
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

bool BandObserver::start(uint32_t) noexcept {
    return true;
}
void BandObserver::row_done(uint32_t, uint32_t, float*) noexcept {}
void BandObserver::band_done(uint32_t, uint32_t, uint32_t, const BandRing&, float*) noexcept {}

uint32_t band_ring_rows(uint32_t size, uint32_t height) noexcept {
    // Output rows [y0, y0 + band) read source rows y0 - left .. y0 + band - 1
    // + right, all still in a ring of this many rows.
    return std::min(height, size - 1 + band_rows(size));
}

namespace {

// One chunk's sweep down rows [first, end) of the image. Rows whose source
// pixels a neighbouring chunk still reads (the first right + 1 rows when a chunk
// lies above, the last left + 1 when one lies below) go to held rows instead and
// reach the image only when every chunk is done; all other rows go straight in.
struct ChunkSweep {
    uint32_t first, end;
    uint32_t head_end;    // rows [first, head_end) are held in held
    uint32_t tail_begin;  // rows [tail_begin, end) are held after them
    ImgbufPtr ring_image;
    ImgbufPtr band_image;  // one band's results on their way to the image; null if never needed
    ImgbufPtr held;

    float* held_row(uint32_t y) const noexcept {
        const uint32_t slot = y < head_end ? y - first : (head_end - first) + (y - tail_begin);
        return row_unchecked(held.get(), slot);
    }
};

struct BandedBlur {
    imgbuf* img;
    Taps4 w;
    uint32_t size;
    float norm;
    BandObserver& obs;
    PathPasses passes;

    void sweep(uint32_t chunk, ChunkSweep& c) const noexcept {
        const uint32_t h = img->height;
        const uint32_t left = (size - 1) / 2;
        const uint32_t right = size - 1 - left;
        const size_t stride = stride_floats(img);
        const BandRing ring{c.ring_image->pixels, stride_floats(c.ring_image.get()),
                            c.ring_image->height};
        ConvolveJob rows{nullptr, nullptr, ring.stride, img->width, 0, w, size, norm};
        rows.src_stride = stride;
        ConvolveJob columns{img->pixels, ring.pixels, stride, img->width, h, w, size, norm};
        columns.src_ring = ring.rows;
        columns.src_stride = ring.stride;
        // The first source row without its horizontal result; rows from here on
        // still hold the image's own pixels.
        uint32_t next = c.first > left ? c.first - left : 0;
        const uint32_t band = band_rows(size);
        for (uint32_t y0 = c.first; y0 < c.end; y0 += band) {
            const uint32_t y1 = std::min(c.end, y0 + band);
            const uint32_t needed = std::min(h, y1 + right);
            while (next < needed) {
                const uint32_t slot = next % ring.rows;
                rows.height = std::min(needed - next, ring.rows - slot);
                rows.dst = ring.row(next);
                rows.src = row_unchecked(img, next);
                passes.rows(rows);
                for (uint32_t r = next; r < next + rows.height; ++r) {
                    obs.row_done(chunk, r, ring.row(r));
                }
                next += rows.height;
            }
            columns.first_row = y0;
            columns.rows = y1 - y0;
            const bool straight = y0 >= c.head_end && y1 <= c.tail_begin;
            columns.dst = straight ? img->pixels : c.band_image->pixels;
            columns.dst_first = straight ? 0 : y0;
            passes.columns(columns);
            obs.band_done(chunk, y0, y1, ring, columns.dst + (y0 - columns.dst_first) * stride);
            if (straight) continue;
            for (uint32_t y = y0; y < y1; ++y) {
                const bool held = y < c.head_end || y >= c.tail_begin;
                std::copy_n(row_unchecked(c.band_image.get(), y - y0), 4 * size_t{img->width},
                            held ? c.held_row(y) : row_unchecked(img, y));
            }
        }
    }
};

// Rows per chunk at least: the rows a chunk computes twice (its neighbours'
// edges) and its own ring stay a small part of its work and memory. Not grown
// with a long kernel's bands, so that a tall image still splits as often.
uint32_t min_chunk_rows(uint32_t size) noexcept {
    return std::max<uint32_t>(64, 4 * (size + kMinBandRows));
}

// The chunks' rows and buffers; empty when any buffer cannot be had.
std::vector<ChunkSweep> plan_chunks(const imgbuf* img, uint32_t size, uint32_t chunks,
                                    uint32_t ring_pad) {
    const uint32_t h = img->height;
    const uint32_t left = (size - 1) / 2;
    const uint32_t right = size - 1 - left;
    if (img->width > UINT32_MAX - ring_pad) return {};
    std::vector<ChunkSweep> plan(chunks);
    for (uint32_t c = 0; c < chunks; ++c) {
        ChunkSweep& s = plan[c];
        s.first = static_cast<uint32_t>(uint64_t{h} * c / chunks);
        s.end = static_cast<uint32_t>(uint64_t{h} * (c + 1) / chunks);
        s.head_end = c == 0 ? s.first : std::min(s.end, s.first + right + 1);
        s.tail_begin =
            c + 1 == chunks ? s.end : std::max(s.head_end, s.end - std::min(s.end, left + 1));
        s.ring_image = make_image(img->width + ring_pad, band_ring_rows(size, h));
        if (!s.ring_image) return {};
        const uint32_t held = (s.head_end - s.first) + (s.end - s.tail_begin);
        if (held) {
            s.held = make_image(img->width, held);
            // Rows one image stride apart, as the vertical pass writes them.
            s.band_image = make_image(stride_floats(img) / 4, band_rows(size));
            if (!s.held || !s.band_image) return {};
        }
    }
    return plan;
}

}  // namespace

bool blur_in_bands_on(ConvolvePath path, imgbuf* img, Taps4 w, uint32_t size, float norm,
                      BandObserver* observer) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0 || !w) return false;
    if (size < 1 || size > kMaxConvolveTaps) return false;
    NoObserver nothing;
    BandObserver& obs = observer ? *observer : nothing;
    const BandedBlur blur{img, w, size, norm, obs, passes_of(path)};
    uint32_t chunks = std::max(1u, std::min(thread_count(), img->height / min_chunk_rows(size)));
    const auto plan_of = [&](uint32_t n) {
        return guarded(std::vector<ChunkSweep>{},
                       [&] { return plan_chunks(img, size, n, blur.passes.ring_pad); });
    };
    // Short of memory for several chunks, one still does.
    std::vector<ChunkSweep> plan = plan_of(chunks);
    if (plan.empty() && chunks > 1) plan = plan_of(chunks = 1);
    if (plan.empty()) return false;
    if (!obs.start(chunks)) return false;
    parallel_for(chunks, [&](uint32_t c) noexcept { blur.sweep(c, plan[c]); });
    for (const ChunkSweep& c : plan) {
        for (uint32_t y = c.first; y < c.head_end; ++y)
            std::copy_n(c.held_row(y), 4 * size_t{img->width}, row_unchecked(img, y));
        for (uint32_t y = c.tail_begin; y < c.end; ++y)
            std::copy_n(c.held_row(y), 4 * size_t{img->width}, row_unchecked(img, y));
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
