#include "material/ao.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "common/block_cache.h"
#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "material/ao_tile.h"

namespace rk {
namespace {

// Heights beyond this are held at it: every slope, square and sum of squares
// of a difference of two of them stays finite in single precision.
constexpr float kHeightLimit = 65536.0f;

using TileFn = void (*)(const AoTileJob&) noexcept;

TileFn tile_fn(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (path != CONVOLVE_PLAIN && convolve_path_supported(CONVOLVE_AVX2)) return ao_tile_avx2;
#endif
    (void)path;
    return ao_tile_plain;
}

// A not-a-number height counts as 0.
float usable_height(float v) noexcept {
    if (!(v == v)) return 0.0f;
    return std::clamp(v, -kHeightLimit, kHeightLimit);
}

// The heights in pixels over the image rounded up to whole squares, with a
// margin on every side that the edge mode fills, in rows of x (or, transposed,
// rows of y).
struct Plane {
    std::vector<float, BlockAllocator<float>> data;  // tens of MiB: from the block cache
    ptrdiff_t stride = 0;
    ptrdiff_t margin = 0;
    const float* origin() const noexcept { return data.data() + margin * stride + margin; }
};

int32_t edge_index(int64_t i, uint32_t n, EdgeMode edge) noexcept {
    if (edge == EDGE_WRAP) {
        const int64_t m = i % n;
        return static_cast<int32_t>(m < 0 ? m + n : m);
    }
    return static_cast<int32_t>(std::clamp<int64_t>(i, 0, n - 1));
}

// The heights over rows x cols pixels (the image rounded up to whole squares)
// and the margin around them. Throws std::bad_alloc.
Plane make_plane(const imgbuf* heights, float depth, EdgeMode edge, uint32_t rows, uint32_t cols,
                 uint32_t margin) {
    Plane p;
    p.margin = margin;
    p.stride = static_cast<ptrdiff_t>(cols) + 2 * ptrdiff_t{margin};
    const auto count =
        checked_product(static_cast<uint64_t>(p.stride), uint64_t{rows} + 2 * uint64_t{margin},
                        sizeof(float), uint64_t{1} << 40);
    if (!count) throw std::bad_alloc();
    p.data.resize(*count / sizeof(float));
    const uint32_t w = heights->width, h = heights->height;
    parallel_rows(rows + 2 * margin, 16, [&](uint32_t i0, uint32_t i1) noexcept {
        for (uint32_t i = i0; i < i1; ++i) {
            const float* src = row_unchecked(heights, edge_index(int64_t{i} - margin, h, edge));
            float* out = p.data.data() + size_t{i} * p.stride;
            for (ptrdiff_t j = 0; j < p.stride; ++j) {
                const int64_t x = j - int64_t{margin};
                // Inside the image without the edge rule.
                const int32_t sx =
                    x >= 0 && x < w ? static_cast<int32_t>(x) : edge_index(x, w, edge);
                out[j] = usable_height(src[4 * size_t(sx)]) * depth;
            }
        }
    });
    return p;
}

// The same plane with rows and columns exchanged (the margin rules commute
// with the exchange), in blocks that stay in the cache. Throws std::bad_alloc.
Plane transposed(const Plane& p, uint32_t rows, uint32_t cols) {
    Plane t;
    t.margin = p.margin;
    const uint32_t all_rows = rows + 2 * static_cast<uint32_t>(p.margin);
    const uint32_t all_cols = static_cast<uint32_t>(p.stride);
    t.stride = all_rows;
    t.data.resize(p.data.size());
    constexpr uint32_t kBlock = 32;
    parallel_rows((all_cols + kBlock - 1) / kBlock, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        for (uint32_t c0 = b0 * kBlock; c0 < std::min(all_cols, b1 * kBlock); c0 += kBlock) {
            for (uint32_t r0 = 0; r0 < all_rows; r0 += kBlock) {
                for (uint32_t c = c0; c < std::min(all_cols, c0 + kBlock); ++c) {
                    float* out = t.data.data() + size_t{c} * t.stride;
                    for (uint32_t r = r0; r < std::min(all_rows, r0 + kBlock); ++r)
                        out[r] = p.data[size_t{r} * p.stride + c];
                }
            }
        }
    });
    (void)cols;
    return t;
}

ImgbufPtr make_ao_map(ConvolvePath path, const imgbuf* heights, const AoSettings& settings) {
    const LibraryCall busy;
    const uint32_t w = heights->width, h = heights->height;
    ImgbufPtr out = make_image(w, h);
    if (!out || w == 0 || h == 0) return out;
    const std::vector<AoLineSet> sets = ao_line_sets(settings);
    const uint32_t across = (w + kAoTile - 1) / kAoTile;
    const uint32_t down = (h + kAoTile - 1) / kAoTile;
    // The lines of a square reach the radius, a block's bound and a vector
    // beyond its far rows and columns; the near field four steps.
    const uint32_t margin = static_cast<uint32_t>(std::ceil(settings.radius)) + 32;
    const Plane by_rows = make_plane(heights, settings.depth, settings.edge, down * kAoTile,
                                     across * kAoTile, margin);
    const Plane by_cols = transposed(by_rows, down * kAoTile, across * kAoTile);
    const TileFn tile = tile_fn(path);
    const float k_count = static_cast<float>(settings.directions);
    std::atomic<bool> failed{false};
    parallel_for(down, [&](uint32_t sy) noexcept {
        std::unique_ptr<AoScratch> scratch(new (std::nothrow) AoScratch());
        if (!scratch) {
            failed = true;
            return;
        }
        float sum[kAoTile * kAoTile];
        float sum_across[kAoTile * kAoTile];
        const uint32_t y0 = sy * kAoTile;
        const uint32_t rows = std::min(kAoTile, h - y0);
        for (uint32_t sx = 0; sx < across; ++sx) {
            const uint32_t x0 = sx * kAoTile;
            const uint32_t cols = std::min(kAoTile, w - x0);
            std::fill(sum, sum + kAoTile * kAoTile, 0.0f);
            std::fill(sum_across, sum_across + kAoTile * kAoTile, 0.0f);
            for (const AoLineSet& set : sets) {
                const Plane& q = set.transposed ? by_cols : by_rows;
                AoTileJob job{q.origin(),
                              q.stride,
                              static_cast<int32_t>(set.transposed ? x0 : y0),
                              static_cast<int32_t>(set.transposed ? y0 : x0),
                              set.transposed ? cols : rows,
                              set.transposed ? rows : cols,
                              &set,
                              sum,
                              sum_across,
                              scratch.get()};
                tile(job);
            }
            for (uint32_t y = 0; y < rows; ++y) {
                float* px = row_unchecked(out.get(), y0 + y) + 4 * size_t{x0};
                for (uint32_t x = 0; x < cols; ++x, px += 4) {
                    const float total = sum[y * kAoTile + x] + sum_across[x * kAoTile + y];
                    const float open = 1.0f - total / k_count;
                    px[0] = px[1] = px[2] = open;
                    px[3] = 1.0f;
                }
            }
        }
    });
    if (failed) return nullptr;
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
