// The whole-image passes, written once over a vector of 4, 8 or 16 floats and
// instantiated by one file per instruction set. A vector holds whole pixels, so
// every lane sums its own pixel's channel over the taps in tap order: each path
// gives the same bits as the single-pixel form.
//
// Everything here has internal linkage (no function compiled for one processor
// may be shared with another file) and uses no library templates for the same
// reason.
#pragma once

#include "filter/convolve_paths.h"

namespace rk {
namespace {

using v4f = float __attribute__((vector_size(16)));
using v4i = int32_t __attribute__((vector_size(16)));
using v8f = float __attribute__((vector_size(32)));
using v8i = int32_t __attribute__((vector_size(32)));
using v16f = float __attribute__((vector_size(64)));
using v16i = int32_t __attribute__((vector_size(64)));

template <class V>
struct IntVector;
template <>
struct IntVector<v4f> {
    using type = v4i;
};
template <>
struct IntVector<v8f> {
    using type = v8i;
};
template <>
struct IntVector<v16f> {
    using type = v16i;
};

template <class V>
inline constexpr size_t kLanes = sizeof(V) / sizeof(float);

// Columns per strip of the vertical pass: the rows a strip's taps touch stay in
// the level-2 cache while the pass walks down the strip.
inline constexpr uint32_t kColumnStrip = 128;

// Edge pixels are summed from a padded copy of at most one edge stretch plus the
// kernel's reach on both sides.
inline constexpr size_t kEdgePixels = 2 * size_t{kMaxConvolveTaps};

template <class V>
inline V load(const float* p) noexcept {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
inline void store(float* p, V v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

// A four-lane value repeated across the vector.
template <class V>
inline V repeat_pixel(const float px[4]) noexcept {
    V v;
    for (size_t i = 0; i < sizeof(V) / 16; ++i) {
        __builtin_memcpy(reinterpret_cast<char*>(&v) + 16 * i, px, 16);
    }
    return v;
}

// The kernel's taps and norm widened to V, built once per pass.
template <class V>
struct WideKernel {
    V weights[kMaxConvolveTaps];
    V norm;
    V keep_rgb;   // all bits in the colour lanes
    V alpha_one;  // 1.0 in the alpha lanes

    explicit WideKernel(const ConvolveJob& job) noexcept {
        for (uint32_t k = 0; k < job.size; ++k) weights[k] = repeat_pixel<V>(job.weights4[k]);
        const float n[4] = {job.norm, job.norm, job.norm, job.norm};
        norm = repeat_pixel<V>(n);
        float keep[4], one[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        const uint32_t all = ~0u;
        for (int c = 0; c < 3; ++c) __builtin_memcpy(&keep[c], &all, sizeof all);
        keep[3] = 0.0f;
        keep_rgb = repeat_pixel<V>(keep);
        alpha_one = repeat_pixel<V>(one);
    }

    // Every NaN leaves as the one quiet NaN kQuietNaNBits: when both operands
    // of an add are NaN, the processor keeps the first one's sign and payload,
    // and each build orders the operands of its sums its own way.
    V finish(V sum) const noexcept {
        using I = typename IntVector<V>::type;
        const V scaled = sum * norm;
        const I nan = scaled != scaled;
        const I bits = (reinterpret_cast<I>(scaled) & ~nan) | (nan & kQuietNaNBits);
        return reinterpret_cast<V>((bits & reinterpret_cast<I>(keep_rgb)) |
                                   reinterpret_cast<I>(alpha_one));
    }
};

// out[f] = finish(sum over k of weights[k] * taps[k][f]) for floats f in
// [from, floats), Unroll vectors at a time while they fit; returns where it
// stopped. Each sum starts at 0 and adds the taps in order.
template <class V, int Unroll>
inline size_t sum_taps(float* out, const float* const* taps, const WideKernel<V>& kernel,
                       uint32_t size, size_t from, size_t floats) noexcept {
    constexpr size_t step = Unroll * kLanes<V>;
    size_t f = from;
    for (; f + step <= floats; f += step) {
        V acc[Unroll] = {};
        for (uint32_t k = 0; k < size; ++k) {
            const float* p = taps[k] + f;
            const V w = kernel.weights[k];
            for (int u = 0; u < Unroll; ++u) acc[u] += w * load<V>(p + u * kLanes<V>);
        }
        for (int u = 0; u < Unroll; ++u) store(out + f + u * kLanes<V>, kernel.finish(acc[u]));
    }
    return f;
}

// Both widths of kernel a pass needs: its own vector and single pixels for the
// remainder of a stretch.
template <class V>
struct PassKernel {
    WideKernel<V> wide;
    WideKernel<v4f> pixel;
    uint32_t size;

    explicit PassKernel(const ConvolveJob& job) noexcept : wide(job), pixel(job), size(job.size) {}

    // Floats [from, floats) of one stretch (whole pixels).
    void run(float* out, const float* const* taps, size_t floats, size_t from = 0) const noexcept {
        size_t f = sum_taps<V, 8>(out, taps, wide, size, from, floats);
        f = sum_taps<V, 1>(out, taps, wide, size, f, floats);
        sum_taps<v4f, 1>(out, taps, pixel, size, f, floats);
    }
};

// Adds source line t of a block to the sums of the block's output lines b that
// use it (as tap t - b); Checked leaves out the lines whose taps do not reach t.
template <class V, int Lines, int Unroll, bool Checked>
inline void add_source_line(V (&acc)[Lines][Unroll], const float* src, const V* weights,
                            uint32_t size, uint32_t t) noexcept {
    V v[Unroll];
    for (int u = 0; u < Unroll; ++u) v[u] = load<V>(src + u * kLanes<V>);
    for (int b = 0; b < Lines; ++b) {
        if (Checked && (t < uint32_t(b) || t - b >= size)) continue;
        for (int u = 0; u < Unroll; ++u) acc[b][u] += weights[t - b] * v[u];
    }
}

// Lines consecutive output lines at once: output line b sums source lines
// b..b+size-1 (src[b + k] for tap k), so each source vector is loaded once for
// all of them. Every sum still adds its taps in order k = 0..size-1. Returns
// where it stopped (floats [from, floats), whole steps only).
template <class V, int Lines, int Unroll>
inline size_t sum_taps_lines(float* const* out, const float* const* src,
                             const WideKernel<V>& kernel, uint32_t size, size_t from,
                             size_t floats) noexcept {
    constexpr size_t step = Unroll * kLanes<V>;
    constexpr uint32_t ramp = Lines - 1;
    const uint32_t sources = size + ramp;
    // Source lines [ramp, size) feed every output line; the ones before and after
    // feed only some.
    const uint32_t tail_begin = ramp > size ? ramp : size;
    size_t f = from;
    for (; f + step <= floats; f += step) {
        V acc[Lines][Unroll] = {};
        uint32_t t = 0;
        for (; t < ramp; ++t) {
            add_source_line<V, Lines, Unroll, true>(acc, src[t] + f, kernel.weights, size, t);
        }
        for (t = ramp; t < size; ++t) {
            add_source_line<V, Lines, Unroll, false>(acc, src[t] + f, kernel.weights, size, t);
        }
        for (t = tail_begin; t < sources; ++t) {
            add_source_line<V, Lines, Unroll, true>(acc, src[t] + f, kernel.weights, size, t);
        }
        for (int b = 0; b < Lines; ++b)
            for (int u = 0; u < Unroll; ++u)
                store(out[b] + f + u * kLanes<V>, kernel.finish(acc[b][u]));
    }
    return f;
}

inline int64_t clamp_index(int64_t i, int64_t last) noexcept {
    return i < 0 ? 0 : (i > last ? last : i);
}

// Where tap position i of a line of count pixels reads: the end pixel beyond
// either end, or across the opposite end when the job wraps. Chosen per edge
// pixel or per row, never per interior tap.
inline int64_t edge_index(int64_t i, int64_t count, bool wrap) noexcept {
    if (!wrap) return clamp_index(i, count - 1);
    const int64_t m = i % count;
    return m < 0 ? m + count : m;
}

inline uint32_t min_u32(uint32_t a, uint32_t b) noexcept {
    return a < b ? a : b;
}

inline size_t source_stride(const ConvolveJob& job) noexcept {
    return job.src_stride ? job.src_stride : job.stride;
}

// Horizontal pass. Each row is three stretches: the leading and trailing edges
// are summed from a padded copy of the pixels they reach (the edge pixel
// repeated, or the pixels across the opposite end when the job wraps), the
// interior straight from the row, so no loop clamps per tap. A row shorter than
// the kernel is all edge and its copy clamps (or wraps) at both ends.
template <class V>
void rows_pass(const ConvolveJob& job) noexcept {
    const PassKernel<V> kernel(job);
    const uint32_t count = job.width;
    const uint32_t left = (job.size - 1) / 2;
    const uint32_t right = job.size - 1 - left;
    const uint32_t lead_end = min_u32(left, count);
    const uint32_t trail_begin = count > lead_end + right ? count - right : lead_end;
    const float* taps[kMaxConvolveTaps];
    alignas(64) float padded[4 * kEdgePixels];

    auto edge = [&](float* dst, const float* src, uint32_t begin, uint32_t end) {
        if (begin == end) return;
        const int64_t first = int64_t{begin} - left;
        const size_t reach = size_t{end - begin} + job.size - 1;
        for (size_t i = 0; i < reach; ++i) {
            const float* px =
                src + 4 * edge_index(first + static_cast<int64_t>(i), count, job.wrap);
            __builtin_memcpy(padded + 4 * i, px, 16);
        }
        for (uint32_t k = 0; k < job.size; ++k) taps[k] = padded + 4 * size_t{k};
        kernel.run(dst + 4 * size_t{begin}, taps, 4 * size_t{end - begin});
    };

    for (uint32_t y = 0; y < job.height; ++y) {
        const float* src = job.src + y * source_stride(job);
        float* dst = job.dst + y * job.stride;
        edge(dst, src, 0, lead_end);
        if (trail_begin > lead_end) {
            for (uint32_t k = 0; k < job.size; ++k) taps[k] = src + 4 * size_t{k};
            kernel.run(dst + 4 * size_t{lead_end}, taps, 4 * size_t{trail_begin - lead_end});
        }
        edge(dst, src, trail_begin, count);
    }
}

// Vertical pass, walked down strips of columns so that every load is
// contiguous and the rows a strip's taps touch stay cached. The clamp (or wrap)
// is per row: tap k of output row y reads row clamp(y - left + k), chosen once
// per row and strip. Rows go in blocks that share their source rows.
template <class V, int BlockRows, int Unroll>
void columns_pass(const ConvolveJob& job) noexcept {
    const PassKernel<V> kernel(job);
    const int64_t left = (job.size - 1) / 2;
    const uint32_t y_end = job.rows ? job.first_row + job.rows : job.height;
    const float* sources[kMaxConvolveTaps + BlockRows];
    float* outs[BlockRows];
    for (uint32_t x0 = 0; x0 < job.width; x0 += kColumnStrip) {
        const size_t floats = 4 * size_t{min_u32(kColumnStrip, job.width - x0)};
        auto source_rows = [&](uint32_t y, uint32_t count) {
            for (uint32_t t = 0; t < count; ++t) {
                const int64_t row = edge_index(int64_t{y} - left + t, job.height, job.wrap);
                const size_t slot = job.src_ring ? static_cast<size_t>(row) % job.src_ring
                                                 : static_cast<size_t>(row);
                sources[t] = job.src + slot * source_stride(job) + 4 * size_t{x0};
            }
        };
        uint32_t y = job.first_row;
        for (; y + BlockRows <= y_end; y += BlockRows) {
            source_rows(y, job.size + BlockRows - 1);
            for (int b = 0; b < BlockRows; ++b)
                outs[b] = job.dst + (y + b - job.dst_first) * job.stride + 4 * size_t{x0};
            const size_t f = sum_taps_lines<V, BlockRows, Unroll>(outs, sources, kernel.wide,
                                                                  job.size, 0, floats);
            for (int b = 0; b < BlockRows; ++b) kernel.run(outs[b], sources + b, floats, f);
        }
        for (; y < y_end; ++y) {
            source_rows(y, job.size);
            kernel.run(job.dst + (y - job.dst_first) * job.stride + 4 * size_t{x0}, sources,
                       floats);
        }
    }
}

}  // namespace
}  // namespace rk
