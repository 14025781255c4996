#include "material/ao.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/block_cache.h"
#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "material/ao_band.h"
#include "material/grey_blur.h"

#if defined(__linux__)
#endif

namespace rk {
namespace {

// Heights beyond this are held at it: every slope, square and sum of squares
// of a difference of two of them stays finite in single precision.
constexpr float kHeightLimit = 65536.0f;

using BandFn = void (*)(const AoBandJob&) noexcept;

BandFn band_fn(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (path == CONVOLVE_AVX512 && convolve_path_supported(CONVOLVE_AVX512)) return ao_band_avx512;
    if (path != CONVOLVE_PLAIN && convolve_path_supported(CONVOLVE_AVX2)) return ao_band_avx2;
#endif
    (void)path;
    return ao_band_plain;
}

using ExactFn = void (*)(const AoExactJob&) noexcept;

ExactFn exact_fn(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (path == CONVOLVE_AVX512 && convolve_path_supported(CONVOLVE_AVX512)) return ao_exact_avx512;
    if (path != CONVOLVE_PLAIN && convolve_path_supported(CONVOLVE_AVX2)) return ao_exact_avx2;
#endif
    (void)path;
    return ao_exact_plain;
}

// The lines held the definition within 0.013 in trials where no step, second
// difference or twist of the heights (in pixels) is larger than this; sharper
// heights take each pixel's own ray. Past it the lines went to 0.024 on
// single-pixel spikes 2.9 px high, 0.03 on ridges one pixel wide and 4 px
// high, 0.05 on a cylinder 16 px high (bench/README.md).
constexpr float kAoSharp = 4.0f;

// A large scratch array of floats, uninitialised, from the block cache: large
// blocks sit on 2 MiB boundaries advised for transparent huge pages (the sweeps
// walk it row by row, each row a page of its own with 4 KiB pages) and are
// kept for the next map.
class Floats {
  public:
    Floats() noexcept = default;
    // Throws std::bad_alloc.
    explicit Floats(size_t count) : block_(count * sizeof(float)), count_(count) {
        if (!block_) throw std::bad_alloc();
    }
    float* get() const noexcept { return block_.get<float>(); }
    size_t size() const noexcept { return count_; }

  private:
    Block block_;
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

// A height in pixels: not-a-number counts as 0.
float pixels_of(float v, float depth) noexcept {
    const float held = v < -kHeightLimit ? -kHeightLimit : (v > kHeightLimit ? kHeightLimit : v);
    return (v == v ? held : 0.0f) * depth;
}

// Throws std::bad_alloc.
Plane fill_plane(float* buffer, const imgbuf* heights, float depth, EdgeMode edge, uint32_t margin,
                 bool across) {
    const uint32_t w = heights->width, h = heights->height;
    const uint32_t rows = (across ? w : h) + 2 * margin;
    const uint32_t cols = (across ? h : w) + 2 * margin;
    Plane p{buffer, static_cast<ptrdiff_t>(cols), margin};
    // The image's column of every plane column (or row, across) and its row
    // of every plane row (or column), the edge rule applied.
    std::vector<uint32_t> xs(w + 2 * size_t{margin}), ys(h + 2 * size_t{margin});
    for (size_t i = 0; i < xs.size(); ++i) xs[i] = edge_index(int64_t(i) - margin, w, edge);
    for (size_t i = 0; i < ys.size(); ++i) ys[i] = edge_index(int64_t(i) - margin, h, edge);
    if (!across) {
        parallel_rows(rows, 16, [&](uint32_t i0, uint32_t i1) noexcept {
            for (uint32_t i = i0; i < i1; ++i) {
                const float* src = row_unchecked(heights, ys[i]);
                float* out = buffer + size_t{i} * cols;
                for (uint32_t j = 0; j < margin; ++j) out[j] = pixels_of(src[4 * size_t{xs[j]}], depth);
                float* inside = out + margin;
                for (uint32_t x = 0; x < w; ++x) inside[x] = pixels_of(src[4 * size_t{x}], depth);
                for (uint32_t j = margin + w; j < cols; ++j)
                    out[j] = pixels_of(src[4 * size_t{xs[j]}], depth);
            }
        });
        return p;
    }
    // Across, the image is read down its columns: in squares that stay in
    // the cache.
    constexpr uint32_t kSquare = 32;
    parallel_rows((cols + kSquare - 1) / kSquare, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        for (uint32_t j0 = b0 * kSquare; j0 < std::min(cols, b1 * kSquare); j0 += kSquare) {
            const uint32_t j1 = std::min(cols, j0 + kSquare);
            for (uint32_t i0 = 0; i0 < rows; i0 += kSquare) {
                const uint32_t i1 = std::min(rows, i0 + kSquare);
                float square[kSquare][kSquare];
                for (uint32_t j = j0; j < j1; ++j) {
                    const float* src = row_unchecked(heights, ys[j]);
                    for (uint32_t i = i0; i < i1; ++i)
                        square[i - i0][j - j0] = pixels_of(src[4 * size_t{xs[i]}], depth);
                }
                for (uint32_t i = i0; i < i1; ++i) {
                    float* out = buffer + size_t{i} * cols + j0;
                    for (uint32_t j = j0; j < j1; ++j) out[j - j0] = square[i - i0][j - j0];
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
    float* origin() const noexcept { return data + kAoLanes; }
};

// One line set's bands over one orientation of the image.
struct SetBands {
    const AoLineSet* set;
    // Lines are anchored to the lattice of the image tiled 3 x 3 when it
    // wraps, so the wrapped map is the centre of that image's clamped map.
    int64_t anchor;
    std::vector<int32_t> pixel_shift;  // AoBandJob::pixel_shift
    int32_t first_line;                // lane 0 of band 0
    int32_t pixels;                    // per band and row
    uint32_t count;
};

// Throws std::bad_alloc.
SetBands set_bands(const AoLineSet& set, uint32_t rows, uint32_t cols, EdgeMode edge) {
    SetBands b{&set, edge == EDGE_WRAP ? int64_t{rows} : 0, std::vector<int32_t>(rows), 0, 0, 0};
    for (uint32_t r = 0; r < rows; ++r) {
        const AoRowShift s = ao_row_shift(b.anchor + r, set.slope);
        b.pixel_shift[r] = s.shift + (s.frac > 0.0f ? 1 : 0);
    }
    const auto [lo, hi] = std::minmax_element(b.pixel_shift.begin(), b.pixel_shift.end());
    b.pixels = set.lattice ? kAoLanes : kAoLanes - 1;
    b.first_line = -*hi;
    const int32_t last = static_cast<int32_t>(cols) - 1 - *lo;
    b.count = static_cast<uint32_t>((last - b.first_line + b.pixels) / b.pixels);
    return b;
}

// Runs every line set of one orientation over the image, strip after strip
// of kAoChunk rows (each strip's heights and sums stay in the cache from set
// to set) and band after band in parallel. Throws std::bad_alloc.
void sweep(BandFn band, const std::vector<AoLineSet>& sets, bool across, const Plane& q,
           uint32_t rows, uint32_t cols, EdgeMode edge, Sums& sums) {
    std::vector<SetBands> plans;
    for (const AoLineSet& set : sets)
        if (set.transposed == across) plans.push_back(set_bands(set, rows, cols, edge));
    // One scratch per thread that can work at once: no more than the most
    // bands a set has, however many threads are allowed (each is 0.3 MB or
    // more, made and zeroed at every call).
    uint32_t most_bands = 0;
    for (const SetBands& b : plans) most_bands = std::max(most_bands, b.count);
    const uint32_t workers = std::min(thread_count(), most_bands);
    std::vector<std::unique_ptr<AoScratch>> scratch(workers);
    // Zeroed: the far horizons' lanes past a band are read, never written.
    for (auto& s : scratch) s.reset(new AoScratch());
    for (uint32_t row = 0; row < rows; row += kAoChunk) {
        for (size_t i = 0; i < plans.size(); ++i) {
            const SetBands& b = plans[i];
            std::atomic<uint32_t> next{0};
            parallel_for(std::min(workers, b.count), [&](uint32_t worker) noexcept {
                for (uint32_t n; (n = next.fetch_add(1, std::memory_order_relaxed)) < b.count;) {
                    const AoBandJob job{q.origin(),
                                        q.stride,
                                        b.anchor,
                                        rows,
                                        cols,
                                        row,
                                        std::min(rows, row + kAoChunk),
                                        b.set,
                                        b.pixel_shift.data(),
                                        b.first_line + static_cast<int32_t>(n) * b.pixels,
                                        sums.origin(),
                                        sums.stride,
                                        i == 0,
                                        scratch[worker].get()};
                    band(job);
                }
            });
        }
    }
}

// Which pixels are too near heights too sharp for the lines. A point is sharp
// where its step to a neighbour, second difference along a row or a column,
// or its cell's twist is above kAoSharp (in pixels, the edge rule applied
// beyond the edges): the lines blend two neighbouring lines linearly, while
// the surface between them bends at the pixel column by the second
// difference, and they weigh no far cell's bulge, which grows with the
// twist. Every measure is the same either way round.
//
// A sharp point's error in a ray's slope grows with its sharpness s and
// shrinks with its distance along the ray, and the lines held the definition
// with points of kAoSharp at the first step they follow, so a point as sharp
// as s is trusted from s steps on (a ray reaches no point beyond R);
// kAoSharpBorder covers the two lines around a ray and the neighbours a
// measure reads. In trials (bench/README.md) the pixels left to the lines
// beside cliffs, walls, spikes, cylinders and crops of a gravel photograph's
// heights came within 0.008 of the definition; with marks that reach along
// the diagonals only half as far (diamonds of s + 4.2), 0.020.
constexpr float kAoSharpBorder = 3.0f;

// The bound and the reach above were found with 16 directions. A line's error
// in one direction weighs 1/K in the occlusion, so with fewer directions one
// direction's miss counts for more: sharpness counts 16/K times over (with 6
// directions a cliff 3.5 px high missed by 0.023, with 8 the side of a
// pyramid 54 px high seen from 26 px by 0.022; weighted, both came within
// 0.01, as trials with K from 5 to 12 did).
float sharpness_weight(uint32_t directions) noexcept {
    return directions >= 16 ? 1.0f : 16.0f / static_cast<float>(directions);
}

// Pixels within the diamond |dx| + |dy| <= d of a sharp point are marked, d
// large enough that the diamond holds the disc of radius min(s, R) +
// kAoSharpBorder: two passes each way along the rows and then the columns
// mark them in time linear in the pixels however many points are sharp, and
// a pixel's mark depends only on the heights around it (so the wrapped map
// stays the centre of the tiled one).
int16_t diamond_radius(float sharpness, float radius) noexcept {
    return static_cast<int16_t>(std::ceil(1.41421356f * (std::min(sharpness, radius) + kAoSharpBorder)));
}

// The marks of both orientations, in each one's Q layout (AoExactJob::marks).
// Their memory, like the plane's, comes from the block cache: as malloc's
// own it would be faulted in page by page at every call (a gravel
// photograph's heights at 4096 x 4096: 17,000 faults for marks and reaches).
using MarkBytes = std::vector<uint8_t, BlockAllocator<uint8_t>>;

struct ExactMarks {
    MarkBytes rows;    // image rows
    MarkBytes across;  // image columns
    ptrdiff_t rows_stride = 0, across_stride = 0;
    uint64_t count = 0;  // marked pixels
};

// Marks from a filled plane of either orientation (rows x cols inside its
// margins, which hold at least a diamond's reach and one more). Throws
// std::bad_alloc.
ExactMarks mark_sharp(const Plane& q, bool across, uint32_t rows, uint32_t cols, float radius,
                      uint32_t directions) {
    const float weight = sharpness_weight(directions);
    const int32_t reach = diamond_radius(radius, radius);
    const uint32_t ext_rows = rows + 2 * uint32_t(reach), ext_cols = cols + 2 * uint32_t(reach);
    // Over the image and as far around it as a diamond reaches (in the
    // margins the edge rule repeats the image's heights and sharp points).
    auto measure = [&](uint32_t i, auto&& each) noexcept {
        const float* up = q.origin() + (ptrdiff_t{i} - reach - 1) * q.stride - reach;
        const float* at = up + q.stride;
        const float* down = at + q.stride;
        const float* left = at - 1;
        for (uint32_t j = 0; j < ext_cols; ++j) {
            const float v = at[j];
            each(j, weight * std::max({std::fabs(at[j + 1] - v), std::fabs(down[j] - v),
                                       std::fabs((left[j] + at[j + 1]) - 2.0f * v),
                                       std::fabs((up[j] + down[j]) - 2.0f * v),
                                       std::fabs(((v - down[j]) - at[j + 1]) + down[j + 1])}));
        }
    };
    // Most heights have no sharp point: a flag per pixel or'ed along the row
    // first (a loop the compiler turns into vectors).
    std::vector<uint8_t> sharp_rows(ext_rows, 0);
    parallel_rows(ext_rows, 16, [&](uint32_t i0, uint32_t i1) noexcept {
        for (uint32_t i = i0; i < i1; ++i) {
            uint32_t over = 0;
            measure(i, [&](uint32_t, float m) noexcept { over |= static_cast<uint32_t>(m > kAoSharp); });
            sharp_rows[i] = over != 0;
        }
    });
    ExactMarks m;
    if (std::find(sharp_rows.begin(), sharp_rows.end(), 1) == sharp_rows.end()) return m;
    // The diamond radius of each sharp point, -1 elsewhere, then each point's
    // value less its distance, the largest over the points.
    // Every row is filled below before any is read.
    const auto reach_bytes =
        checked_product(ext_rows, ext_cols, sizeof(int16_t), uint64_t{1} << 40);
    const Block reach_block(reach_bytes ? static_cast<size_t>(*reach_bytes) : 0);
    if (!reach_bytes || !reach_block) throw std::bad_alloc();
    int16_t* const reach_left = reach_block.get<int16_t>();
    parallel_rows(ext_rows, 16, [&](uint32_t i0, uint32_t i1) noexcept {
        for (uint32_t i = i0; i < i1; ++i) {
            int16_t* out = reach_left + size_t{i} * ext_cols;
            std::fill(out, out + ext_cols, int16_t{-1});
            if (!sharp_rows[i]) continue;
            measure(i, [&](uint32_t j, float s) noexcept {
                if (s > kAoSharp) out[j] = diamond_radius(s, radius);
            });
            for (uint32_t j = 1; j < ext_cols; ++j) out[j] = std::max<int16_t>(out[j], out[j - 1] - 1);
            for (uint32_t j = ext_cols - 1; j-- > 0;) out[j] = std::max<int16_t>(out[j], out[j + 1] - 1);
        }
    });
    constexpr uint32_t kStripe = 64;
    parallel_rows((ext_cols + kStripe - 1) / kStripe, 1, [&](uint32_t s0, uint32_t s1) noexcept {
        const uint32_t c0 = s0 * kStripe, c1 = std::min(ext_cols, s1 * kStripe);
        int16_t* base = reach_left;
        for (uint32_t i = 1; i < ext_rows; ++i) {
            int16_t* out = base + size_t{i} * ext_cols;
            const int16_t* prev = out - ext_cols;
            for (uint32_t j = c0; j < c1; ++j) out[j] = std::max<int16_t>(out[j], prev[j] - 1);
        }
        for (uint32_t i = ext_rows - 1; i-- > 0;) {
            int16_t* out = base + size_t{i} * ext_cols;
            const int16_t* next = out + ext_cols;
            for (uint32_t j = c0; j < c1; ++j) out[j] = std::max<int16_t>(out[j], next[j] - 1);
        }
    });
    MarkBytes& here = across ? m.across : m.rows;
    MarkBytes& there = across ? m.rows : m.across;
    const ptrdiff_t here_stride = cols;
    const ptrdiff_t there_stride = rows;
    (across ? m.across_stride : m.rows_stride) = here_stride;
    (across ? m.rows_stride : m.across_stride) = there_stride;
    here.assign(size_t{rows} * here_stride, 0);
    there.assign(size_t{cols} * there_stride, 0);
    const uint32_t bands = row_bands(rows, 16);
    std::vector<uint64_t> counts(bands, 0);
    parallel_bands(rows, bands, [&](uint32_t band, uint32_t i0, uint32_t i1) noexcept {
        uint64_t count = 0;
        for (uint32_t i = i0; i < i1; ++i) {
            const int16_t* in = reach_left + size_t{i + reach} * ext_cols + reach;
            uint8_t* out = here.data() + i * here_stride;
            for (uint32_t j = 0; j < cols; ++j) {
                out[j] = in[j] >= 0;
                count += out[j];
            }
        }
        counts[band] = count;
    });
    for (const uint64_t c : counts) m.count += c;
    // The other orientation's layout, turned round in squares.
    constexpr uint32_t kSquare = 64;
    parallel_rows((cols + kSquare - 1) / kSquare, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        for (uint32_t j0 = b0 * kSquare; j0 < std::min(cols, b1 * kSquare); j0 += kSquare)
            for (uint32_t i0 = 0; i0 < rows; i0 += kSquare)
                for (uint32_t j = j0; j < std::min(cols, j0 + kSquare); ++j)
                    for (uint32_t i = i0; i < std::min(rows, i0 + kSquare); ++i)
                        there[j * there_stride + i] = here[i * here_stride + j];
    });
    return m;
}

// box[i] = the largest height of the plane in the box_rows x box_cols box
// whose corner nearest the origin is i (where the box fits). Along each row
// one offset after another (loops over the row, which the compiler turns
// into vectors; a loop over the offsets inside would not be).
void fill_box(const Plane& q, uint32_t rows, uint32_t box_rows, uint32_t box_cols, float* box) {
    const auto cols = static_cast<uint32_t>(q.stride);
    parallel_rows(rows, 16, [&](uint32_t i0, uint32_t i1) noexcept {
        for (uint32_t i = i0; i < i1; ++i) {
            const float* in = q.data + size_t{i} * cols;
            float* out = box + size_t{i} * cols;
            const uint32_t fit = cols + 1 - box_cols;
            std::copy(in, in + cols, out);
            for (uint32_t k = 1; k < box_cols; ++k) {
                const float* from = in + k;
                for (uint32_t j = 0; j < fit; ++j) out[j] = from[j] > out[j] ? from[j] : out[j];
            }
        }
    });
    // Down the columns in place, top row first (a row is written only once
    // every row that needs it is read), in stripes of columns in parallel.
    constexpr uint32_t kStripe = 64;
    parallel_rows((cols + kStripe - 1) / kStripe, 1, [&](uint32_t s0, uint32_t s1) noexcept {
        const uint32_t c0 = s0 * kStripe, c1 = std::min(cols, s1 * kStripe);
        for (uint32_t i = 0; i + box_rows <= rows; ++i) {
            float* out = box + size_t{i} * cols;
            for (uint32_t k = 1; k < box_rows; ++k) {
                const float* in = out + size_t{k} * cols;
                for (uint32_t j = c0; j < c1; ++j) out[j] = in[j] > out[j] ? in[j] : out[j];
            }
        }
    });
}

// An exact ray's arrays laid out for a plane of the given stride.
struct ExactLayout {
    std::vector<ptrdiff_t> a, b, cell, box;
    std::vector<float> neg_w, neg_inv_tau;
    AoExactPlan plan;

    // Throws std::bad_alloc.
    ExactLayout(const AoExactRay& ray, ptrdiff_t stride) {
        for (const AoNearSample& x : ray.crossings) {
            a.push_back(x.a_row * stride + x.a_col);
            b.push_back(x.b_row * stride + x.b_col);
            neg_w.push_back(-x.w);
            neg_inv_tau.push_back(-x.inv_tau);
        }
        for (const AoSegment& g : ray.segments) cell.push_back(g.row * stride + g.col);
        for (const AoExactBlock& k : ray.blocks) box.push_back(k.box_row * stride + k.box_col);
        plan = {&ray,
                ray.step * stride,
                ray.minor_col,
                static_cast<uint32_t>(ray.crossings.size()),
                static_cast<uint32_t>(ray.segments.size()),
                static_cast<uint32_t>(ray.blocks.size()),
                a.data(),
                b.data(),
                neg_w.data(),
                neg_inv_tau.data(),
                ray.segments.data(),
                cell.data(),
                ray.blocks.data(),
                box.data(),
                ray.end_row * stride + ray.end_col,
                ray.end_segment.row * stride + ray.end_segment.col};
    }
};

// Every exact set of one orientation over the image (or its marked vectors
// of pixels, which then hold only these sets' sums): each set's box plane,
// then its rows in parallel. Throws std::bad_alloc.
void exact_sweep(ExactFn fn, const std::vector<AoExactSet>& sets, bool across, const Plane& q,
                 uint32_t plane_rows, float* box, uint32_t rows, uint32_t cols,
                 Sums& sums, const uint8_t* marks, ptrdiff_t marks_stride) {
    const ptrdiff_t origin = q.origin() - q.data;
    // Where only the marked pixels take their own rays, one box that holds
    // every set's serves them all: the bounds are looser, but the plane is
    // filled once per orientation instead of once per set (on a gravel
    // photograph's heights a tenth less time for the whole map).
    uint32_t box_rows = 0, box_cols = 0;
    std::vector<const AoExactSet*> here;
    std::vector<std::unique_ptr<ExactLayout>> layouts;
    std::vector<std::array<AoExactPlan, 2>> plans;
    for (const AoExactSet& set : sets) {
        if (set.transposed != across) continue;
        box_rows = std::max(box_rows, set.box_rows);
        box_cols = std::max(box_cols, set.box_cols);
        here.push_back(&set);
        plans.emplace_back();
        for (uint32_t n = 0; n < set.ray_count; ++n) {
            layouts.push_back(std::make_unique<ExactLayout>(set.rays[n], q.stride));
            plans.back()[n] = layouts.back()->plan;
        }
    }
    // Strips of kStrip columns (a multiple of sixteen, so that no vector of
    // pixels straddles two), the last one to the end of the row. Each strip
    // is one item that the next free thread takes: the marked pixels crowd
    // where the heights are sharp, so halves of the image fixed in advance
    // left one thread idle while the other finished the sharper half.
    constexpr uint32_t kStrip = 128;
    const uint32_t strips = (cols + kStrip - 1) / kStrip;
    auto job = [&](size_t i, uint32_t strip, uint32_t r0, uint32_t r1) noexcept {
        return AoExactJob{q.origin(), box + origin, q.stride, r0, r1, strip * kStrip,
                          std::min(cols, (strip + 1) * kStrip), plans[i].data(),
                          here[i]->ray_count, sums.origin(), sums.stride, i == 0, marks,
                          marks_stride};
    };
    if (!marks) {
        for (size_t i = 0; i < here.size(); ++i) {
            fill_box(q, plane_rows, here[i]->box_rows, here[i]->box_cols, box);
            parallel_for(strips, [&](uint32_t strip) noexcept { fn(job(i, strip, 0, rows)); });
        }
        return;
    }
    // The marked pixels lie scattered, so every set works through a block of
    // kRows rows of a strip before the next block: the heights and boxes
    // around them are read from the cache by the sets after the first.
    fill_box(q, plane_rows, box_rows, box_cols, box);
    constexpr uint32_t kRows = 32;
    parallel_for(strips, [&](uint32_t strip) noexcept {
        for (uint32_t r0 = 0; r0 < rows; r0 += kRows)
            for (size_t i = 0; i < here.size(); ++i) fn(job(i, strip, r0, std::min(rows, r0 + kRows)));
    });
}

ImgbufPtr make_ao_map(ConvolvePath path, const imgbuf* heights, const AoSettings& settings) {
    const LibraryCall busy;
    const uint32_t w = heights->width, h = heights->height;
    if (w == 0 || h == 0) return make_image(w, h);
    const std::vector<AoLineSet> sets = ao_line_sets(settings);
    bool has[2] = {false, false};  // sets closer to vertical, closer to horizontal
    for (const AoLineSet& set : sets) has[set.transposed] = true;
    // The bands read their lines up to the reach of the rays above and below
    // each row and sideways by as much (|slope| <= 1), a band beyond the
    // image's sides and a vector more; the near rays four steps.
    // The marks read a diamond's reach around the image and one more.
    const uint32_t margin = std::max<uint32_t>(sets[0].rays[0].far_last + kAoBlock + 2 * kAoLanes + 16,
                                               diamond_radius(settings.radius, settings.radius) + 2);
    const BandFn band = band_fn(path);
    // One plane and one array of sums serve both orientations in turn: the
    // sets closer to vertical first, their sums parked in a grey plane that
    // later holds the occlusion. The image is made from it last (grey_image),
    // once the plane, the box, the marks and the sums are given back.
    Floats plane(float_count(uint64_t{w} + 2 * margin, uint64_t{h} + 2 * margin));
    // The pixels marked near sharp heights (on the first plane filled) take
    // their own rays after the lines, with the largest height in each box
    // around a block's cells in one more plane; the lines are skipped when
    // every pixel is marked.
    enum class Rays { lines, marked, own } rays = Rays::lines;
    ExactMarks marks;
    std::vector<AoExactSet> exact_sets;
    Floats box;
    // Either orientation's rows of sums with their margins: rows * (cols +
    // 2 kAoLanes), at most w h + 2 kAoLanes max(w, h) floats (a square of the
    // long side would make a strip of 100000 x 1 pixels ask for 40 GB).
    Floats sum_buffer(float_count(1, uint64_t{w} * h + uint64_t{2 * kAoLanes} * std::max(w, h)));
    const Floats grey(float_count(w, h));
    Sums sums{sum_buffer.get(), 0};
    for (const bool across : {false, true}) {
        if (!has[across]) continue;
        const uint32_t rows = across ? w : h;
        const uint32_t cols = across ? h : w;
        const Plane q = fill_plane(plane.get(), heights, settings.depth, settings.edge, margin, across);
        if (!across || !has[0]) {
            marks = mark_sharp(q, across, rows, cols, settings.radius, settings.directions);
            if (marks.count > 0) {
                // With every pixel marked the lines would be overwritten.
                rays = marks.count == uint64_t{w} * h ? Rays::own : Rays::marked;
                if (rays == Rays::own) marks = ExactMarks{};
                exact_sets = ao_exact_sets(settings);
                box = Floats(plane.size());
            }
        }
        sums.stride = static_cast<ptrdiff_t>(cols) + 2 * kAoLanes;
        if (rays != Rays::own) sweep(band, sets, across, q, rows, cols, settings.edge, sums);
        if (rays != Rays::lines) {
            const bool marked = rays == Rays::marked;
            exact_sweep(exact_fn(path), exact_sets, across, q, rows + 2 * margin, box.get(),
                        rows, cols, sums,
                        marked ? (across ? marks.across : marks.rows).data() : nullptr,
                        across ? marks.across_stride : marks.rows_stride);
        }
        if (across) break;
        parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) {
                std::memcpy(grey.get() + size_t{y} * w, sums.origin() + y * sums.stride,
                            size_t{w} * sizeof(float));
            }
        });
    }
    plane = Floats();
    box = Floats();
    marks = ExactMarks{};
    const float k_count = static_cast<float>(settings.directions);
    // The sums across are read down their columns: in squares turned round
    // in the cache.
    constexpr uint32_t kSquare = 32;
    parallel_rows((h + kSquare - 1) / kSquare, 1, [&](uint32_t b0, uint32_t b1) noexcept {
        float square[kSquare][kSquare];
        for (uint32_t y0 = b0 * kSquare; y0 < std::min(h, b1 * kSquare); y0 += kSquare) {
            const uint32_t ny = std::min(kSquare, h - y0);
            for (uint32_t x0 = 0; x0 < w; x0 += kSquare) {
                const uint32_t nx = std::min(kSquare, w - x0);
                for (uint32_t i = 0; i < nx; ++i) {
                    const float* col = sums.origin() + (x0 + i) * sums.stride + y0;
                    for (uint32_t j = 0; j < ny; ++j) square[j][i] = has[1] ? col[j] : 0.0f;
                }
                for (uint32_t j = 0; j < ny; ++j) {
                    float* g = grey.get() + size_t{y0 + j} * w + x0;
                    for (uint32_t i = 0; i < nx; ++i) {
                        const float a = has[0] ? g[i] : 0.0f;
                        g[i] = 1.0f - (a + square[j][i]) / k_count;
                    }
                }
            }
        }
    });
    sum_buffer = Floats();
    return grey_image(grey.get(), w, h);
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
