#include "material/ao.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "material/ao_band.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rk {
namespace {

// Heights beyond this are held at it: every slope, square and sum of squares
// of a difference of two of them stays finite in single precision.
constexpr float kHeightLimit = 65536.0f;

using BandFn = void (*)(const AoBandJob&) noexcept;

BandFn band_fn(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (path != CONVOLVE_PLAIN && convolve_path_supported(CONVOLVE_AVX2)) return ao_band_avx2;
#endif
    (void)path;
    return ao_band_plain;
}

// A large scratch array of floats, uninitialised. On Linux it sits on 2 MiB
// boundaries and is advised for transparent huge pages: the sweeps walk it row
// by row, each row a page of its own with 4 KiB pages, and first touching it
// faults in 512 times fewer pages.
class Floats {
  public:
    Floats() noexcept = default;
    // Throws std::bad_alloc.
    explicit Floats(size_t count) {
        constexpr size_t kHuge = size_t{2} << 20;
        const size_t bytes = (count * sizeof(float) + kHuge - 1) / kHuge * kHuge;
        void* p = nullptr;
        if (posix_memalign(&p, kHuge, bytes) != 0) throw std::bad_alloc();
#if defined(__linux__)
        madvise(p, bytes, MADV_HUGEPAGE);
#endif
        data_.reset(static_cast<float*>(p));
        count_ = count;
    }
    float* get() const noexcept { return data_.get(); }
    size_t size() const noexcept { return count_; }

  private:
    struct Free {
        void operator()(float* p) const noexcept { free(p); }
    };
    std::unique_ptr<float[], Free> data_;
    size_t count_ = 0;
};

// Throws std::bad_alloc.
size_t float_count(uint64_t a, uint64_t b) {
    const auto count = checked_product(a, b, sizeof(float), uint64_t{1} << 40);
    if (!count) throw std::bad_alloc();
    return static_cast<size_t>(*count / sizeof(float));
}

int32_t edge_index(int64_t i, uint32_t n, EdgeMode edge) noexcept {
    if (edge == EDGE_WRAP) {
        const int64_t m = i % n;
        return static_cast<int32_t>(m < 0 ? m + n : m);
    }
    return static_cast<int32_t>(std::clamp<int64_t>(i, 0, n - 1));
}

// The heights in pixels over rows x cols with a margin on every side that the
// edge mode fills: in rows of x, or (across) in rows of y. It lives in a
// buffer of (w + 2 margin) * (h + 2 margin) floats, either way round.
struct Plane {
    float* data = nullptr;
    ptrdiff_t stride = 0;
    ptrdiff_t margin = 0;
    const float* origin() const noexcept { return data + margin * stride + margin; }
};

Plane fill_plane(float* buffer, const imgbuf* heights, float depth, EdgeMode edge,
                 uint32_t margin, bool across) noexcept {
    const uint32_t w = heights->width, h = heights->height;
    const uint32_t rows = (across ? w : h) + 2 * margin;
    const uint32_t cols = (across ? h : w) + 2 * margin;
    Plane p{buffer, static_cast<ptrdiff_t>(cols), margin};
    // The height at plane row i, column j (both counted from the margin's
    // corner), with the edge rule beyond the image.
    auto at = [&](uint32_t i, uint32_t j) noexcept {
        const int64_t y = int64_t{across ? j : i} - margin;
        const int64_t x = int64_t{across ? i : j} - margin;
        const uint32_t sy = y >= 0 && y < h ? static_cast<uint32_t>(y) : edge_index(y, h, edge);
        const uint32_t sx = x >= 0 && x < w ? static_cast<uint32_t>(x) : edge_index(x, w, edge);
        const float v = row_unchecked(heights, sy)[4 * size_t{sx}];
        // A not-a-number height counts as 0.
        return (v == v ? std::clamp(v, -kHeightLimit, kHeightLimit) : 0.0f) * depth;
    };
    // Across, the image is read down its columns: in squares that stay in
    // the cache.
    constexpr uint32_t kSquare = 32;
    parallel_rows((rows + kSquare - 1) / kSquare, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        for (uint32_t i0 = b0 * kSquare; i0 < std::min(rows, b1 * kSquare); i0 += kSquare) {
            for (uint32_t j0 = 0; j0 < cols; j0 += kSquare) {
                for (uint32_t i = i0; i < std::min(rows, i0 + kSquare); ++i) {
                    float* out = buffer + size_t{i} * cols;
                    for (uint32_t j = j0; j < std::min(cols, j0 + kSquare); ++j) out[j] = at(i, j);
                }
            }
        }
    });
    return p;
}

// One orientation's sums of occlusion over the image, in Q's rows, with the
// margins the bands write beyond the image.
struct Sums {
    float* data = nullptr;
    ptrdiff_t stride = 0;
    bool written = false;
    float* origin() const noexcept { return data + kAoLanes; }
};

// Runs one line set over the whole image in bands of lines, in parallel.
// Throws std::bad_alloc.
void sweep(BandFn band, const AoLineSet& set, const Plane& q, uint32_t rows, uint32_t cols,
           EdgeMode edge, Sums& sums) {
    // Lines are anchored to the lattice of the image tiled 3 x 3 when it
    // wraps, so the wrapped map is the centre of that image's clamped map.
    const int64_t anchor = edge == EDGE_WRAP ? rows : 0;
    std::vector<int32_t> pixel_shift(rows);
    for (uint32_t r = 0; r < rows; ++r) {
        const AoRowShift s = ao_row_shift(anchor + r, set.slope);
        pixel_shift[r] = s.shift + (s.frac > 0.0f ? 1 : 0);
    }
    const auto [lo, hi] = std::minmax_element(pixel_shift.begin(), pixel_shift.end());
    const int32_t pixels = set.lattice ? kAoLanes : kAoLanes - 1;
    const int32_t first = -*hi;
    const int32_t last = static_cast<int32_t>(cols) - 1 - *lo;
    const uint32_t bands = static_cast<uint32_t>((last - first + pixels) / pixels);
    const uint32_t items = std::min(bands, 4 * thread_count());
    std::atomic<bool> failed{false};
    parallel_for(items, [&](uint32_t item) noexcept {
        std::unique_ptr<AoScratch> scratch(new (std::nothrow) AoScratch);
        if (!scratch) {
            failed = true;
            return;
        }
        for (uint32_t b = item; b < bands; b += items) {
            const AoBandJob job{q.origin(),
                                q.stride,
                                anchor,
                                rows,
                                cols,
                                &set,
                                pixel_shift.data(),
                                first + static_cast<int32_t>(b) * pixels,
                                sums.origin(),
                                sums.stride,
                                !sums.written,
                                scratch.get()};
            band(job);
        }
    });
    if (failed) throw std::bad_alloc();
    sums.written = true;
}

ImgbufPtr make_ao_map(ConvolvePath path, const imgbuf* heights, const AoSettings& settings) {
    const LibraryCall busy;
    const uint32_t w = heights->width, h = heights->height;
    ImgbufPtr out = make_image(w, h);
    if (!out || w == 0 || h == 0) return out;
    const std::vector<AoLineSet> sets = ao_line_sets(settings);
    // The bands read their lines up to the reach of the rays above and below
    // each row and sideways by as much (|slope| <= 1), a band beyond the
    // image's sides and a vector more; the near rays four steps.
    const uint32_t margin = sets[0].rays[0].far_last + kAoBlock + 2 * kAoLanes + 16;
    const BandFn band = band_fn(path);
    // One plane and one array of sums serve both orientations in turn: the
    // sets closer to vertical first, their sums parked in the output's red.
    const Floats plane(float_count(uint64_t{w} + 2 * margin, uint64_t{h} + 2 * margin));
    const Floats sum_buffer(float_count(std::max(w, h), uint64_t{std::max(w, h)} + 2 * kAoLanes));
    Sums sums;
    sums.data = sum_buffer.get();
    bool parked = false;
    for (const bool across : {false, true}) {
        const uint32_t rows = across ? w : h;
        const uint32_t cols = across ? h : w;
        bool any_set = false;
        for (const AoLineSet& set : sets) any_set |= set.transposed == across;
        if (!any_set) continue;
        const Plane q = fill_plane(plane.get(), heights, settings.depth, settings.edge, margin, across);
        sums.stride = static_cast<ptrdiff_t>(cols) + 2 * kAoLanes;
        sums.written = false;
        for (const AoLineSet& set : sets) {
            if (set.transposed == across) sweep(band, set, q, rows, cols, settings.edge, sums);
        }
        if (!across) {
            parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
                for (uint32_t y = y0; y < y1; ++y) {
                    const float* src = sums.origin() + y * sums.stride;
                    float* px = row_unchecked(out.get(), y);
                    for (uint32_t x = 0; x < w; ++x) px[4 * size_t{x}] = src[x];
                }
            });
            parked = true;
        }
    }
    const float k_count = static_cast<float>(settings.directions);
    const bool across_written = sums.written && sums.stride == static_cast<ptrdiff_t>(h) + 2 * kAoLanes;
    // The sums across are read down their columns: in squares that stay in
    // the cache.
    constexpr uint32_t kSquare = 32;
    parallel_rows((h + kSquare - 1) / kSquare, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        for (uint32_t y0 = b0 * kSquare; y0 < std::min(h, b1 * kSquare); y0 += kSquare) {
            for (uint32_t x0 = 0; x0 < w; x0 += kSquare) {
                for (uint32_t y = y0; y < std::min(h, y0 + kSquare); ++y) {
                    float* px = row_unchecked(out.get(), y) + 4 * size_t{x0};
                    for (uint32_t x = x0; x < std::min(w, x0 + kSquare); ++x, px += 4) {
                        const float a = parked ? px[0] : 0.0f;
                        const float b = across_written ? sums.origin()[x * sums.stride + y] : 0.0f;
                        const float open = 1.0f - (a + b) / k_count;
                        px[0] = px[1] = px[2] = open;
                        px[3] = 1.0f;
                    }
                }
            }
        }
    });
    return out;
}

}  // namespace

const char* ao_settings_error(const AoSettings& s) noexcept {
    if (!(s.depth >= 0.0f && s.depth <= kAoMaxDepth)) return "occlusion depth out of range";
    if (!(s.radius >= kAoMinRadius && s.radius <= kAoMaxRadius)) {
        return "occlusion radius out of range";
    }
    if (s.directions < kAoMinDirections || s.directions > kAoMaxDirections) {
        return "occlusion direction count out of range";
    }
    if (s.edge != EDGE_CLAMP && s.edge != EDGE_WRAP) return "unknown edge mode";
    return nullptr;
}

ImgbufPtr ao_map_on(ConvolvePath path, const imgbuf* heights, const AoSettings& settings) noexcept {
    if (!has_pixels(heights) || ao_settings_error(settings)) return nullptr;
    return guarded(ImgbufPtr{}, [&] { return make_ao_map(path, heights, settings); });
}

ImgbufPtr ao_map(const imgbuf* heights, const AoSettings& settings) noexcept {
    return ao_map_on(convolve_best_path(), heights, settings);
}

}  // namespace rk
