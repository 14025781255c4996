// The occlusion of one square for one line set, written once over vectors of
// eight floats and compiled by one file per instruction set. Every lane does
// the same single-precision operations in the same order in every build, so
// all builds give the same bits.
//
// Everything here has internal linkage (no function compiled for one processor
// may be shared with another file) and uses no library templates for the same
// reason.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "material/ao_tile.h"

namespace rk {
namespace {

using v8f = float __attribute__((vector_size(32)));
using v8i = int32_t __attribute__((vector_size(32)));

constexpr ptrdiff_t kLineStride = kAoLineColumns;

inline v8f load8(const float* p) noexcept {
    v8f v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store8(float* p, v8f v) noexcept {
    __builtin_memcpy(p, &v, sizeof v);
}

inline v8f splat(float x) noexcept {
    return v8f{x, x, x, x, x, x, x, x};
}

inline v8f vmax(v8f a, v8f b) noexcept {
    return a > b ? a : b;
}

inline int32_t lo_of(int32_t a, int32_t b) noexcept {
    return a < b ? a : b;
}

inline int32_t hi_of(int32_t a, int32_t b) noexcept {
    return a > b ? a : b;
}

inline bool any(v8i m) noexcept {
#if defined(__AVX__)
    const __m256i v = reinterpret_cast<__m256i>(m);
    return !_mm256_testz_si256(v, v);
#elif defined(__SSE2__)
    __m128i halves[2];
    __builtin_memcpy(halves, &m, sizeof m);
    return _mm_movemask_epi8(_mm_or_si128(halves[0], halves[1])) != 0;
#else
    int32_t r = 0;
    for (int i = 0; i < 8; ++i) r |= m[i];
    return r != 0;
#endif
}

// Correctly rounded in every form.
inline v8f vsqrt(v8f v) noexcept {
#if defined(__AVX__)
    return reinterpret_cast<v8f>(_mm256_sqrt_ps(reinterpret_cast<__m256>(v)));
#elif defined(__SSE2__)
    __m128 halves[2];
    __builtin_memcpy(halves, &v, sizeof v);
    halves[0] = _mm_sqrt_ps(halves[0]);
    halves[1] = _mm_sqrt_ps(halves[1]);
    __builtin_memcpy(&v, halves, sizeof v);
    return v;
#else
    for (int i = 0; i < 8; ++i) v[i] = __builtin_sqrtf(v[i]);
    return v;
#endif
}

// sin^2(atan(s)) for s > 0, else 0: the part of the sky a horizon of slope s
// hides, cosine-weighted.
inline v8f occluded(v8f s) noexcept {
    const v8f s2 = s * s;
    const v8f o = s2 / (splat(1.0f) + s2);
    return s > splat(0.0f) ? o : splat(0.0f);
}

// Where the lines sit against one Q row: line c crosses row r at column
// c + shift + frac.
struct RowShift {
    int32_t shift;
    float frac;
};

inline RowShift shift_of(int32_t row, double slope) noexcept {
    const double at = row * slope;
    const double shift = __builtin_floor(at);
    return {static_cast<int32_t>(shift), static_cast<float>(at - shift)};
}

// The first of the kAoLanes lines that the pixels of a Q row starting at col0
// lie between: pixel q lies between lines q - shift - 1 and q - shift when the
// row's lines are not on pixel centres, on line q - shift when they are.
inline int32_t first_line(int32_t col0, RowShift s) noexcept {
    return col0 - s.shift - (s.frac > 0.0f ? 1 : 0);
}

struct SquareLines {
    int32_t first_row;  // Q row of line buffer row 0
    uint32_t rows;
    int32_t first_col;  // line of line buffer column 0
};

// Samples every line the square's rows need, along every row a ray from the
// square reads, into scratch.lines, and their maxima over eight rows into
// scratch.bounds.
SquareLines sample_lines(const AoTileJob& job, uint32_t reach_up, uint32_t reach_down) noexcept {
    const double slope = job.set->slope;
    const int32_t last_row = job.row0 + static_cast<int32_t>(job.rows) - 1;
    const int32_t a = first_line(job.col0, shift_of(job.row0, slope));
    const int32_t b = first_line(job.col0, shift_of(last_row, slope));
    SquareLines sq{job.row0 - static_cast<int32_t>(reach_up), job.rows + reach_up + reach_down,
                   lo_of(a, b)};
    float* lines = job.scratch->lines;
    for (uint32_t i = 0; i < sq.rows; ++i) {
        const int32_t r = sq.first_row + static_cast<int32_t>(i);
        // The square's rows that read this row, and so the lines they need.
        const int32_t lo_row = hi_of(job.row0, r - static_cast<int32_t>(reach_down));
        const int32_t hi_row = lo_of(last_row, r + static_cast<int32_t>(reach_up));
        const int32_t la = first_line(job.col0, shift_of(lo_row, slope)) - sq.first_col;
        const int32_t lb = first_line(job.col0, shift_of(hi_row, slope)) - sq.first_col;
        const int32_t from = lo_of(la, lb) & ~7;
        const int32_t to = hi_of(la, lb) + static_cast<int32_t>(kAoLanes) + 1;
        const RowShift s = shift_of(r, slope);
        const float* src = job.plane + r * job.stride + sq.first_col + s.shift;
        float* dst = lines + i * kLineStride;
        const v8f w = splat(s.frac);
        for (int32_t c = from; c < to; c += 8) {
            const v8f x0 = load8(src + c);
            const v8f x1 = load8(src + c + 1);
            store8(dst + c, x0 + w * (x1 - x0));
        }
    }
    // bounds[i] = max of lines[i .. i + 7], by doubling: pairs, fours,
    // eights. Rows whose run passes the last row are not maxima of whole
    // runs; no ray reads them.
    float* bounds = job.scratch->bounds;
    for (uint32_t span = 1; span <= 4; span *= 2) {
        const float* src = span == 1 ? lines : bounds;
        for (uint32_t i = 0; i + span < sq.rows; ++i) {
            const float* x = src + i * kLineStride;
            const float* y = src + (i + span) * kLineStride;
            float* d = bounds + i * kLineStride;
            for (uint32_t c = 0; c < kAoLineColumns; c += 8)
                store8(d + c, vmax(load8(x + c), load8(y + c)));
        }
    }
    return sq;
}

// The horizon of eight lines at one row beyond the near steps: the largest
// slope to their samples up to the radius, and one over the distance of the
// nearest sample that has it (both 0 when nothing rises above the line).
// Blocks of eight steps whose highest sample cannot beat a lane's slope so far
// are skipped (about two in three on photographs); the result is the same as
// visiting them. Inside a block the eight slopes are reduced by a tree, so no
// lane waits on the previous step.
// Steps past the last one have a zero inverse distance: slope 0, which never
// beats the slope so far.
inline void far_horizon(const float* at, const float* bounds_at, const AoRay& ray, float* slope_out,
                        float* inv_out) noexcept {
    const ptrdiff_t step = ray.step * kLineStride;
    const v8f h = load8(at);
    v8f best = splat(0.0f);
    v8f inv = splat(0.0f);
    const uint32_t last = ray.far_last;
    for (uint32_t j0 = kAoNearSteps + 1; j0 <= last;) {
        // The maximum of the eight samples from step j0 on: sample j0 + i is
        // i rows ahead of row j0, so it sits at the lowest of those rows.
        const ptrdiff_t lowest = ray.step > 0 ? j0 : -static_cast<ptrdiff_t>(j0 + 7);
        if (!any((load8(bounds_at + lowest * kLineStride) - h) * splat(ray.inv_dist[j0]) > best)) {
            j0 += 8;
            continue;
        }
        v8f s[8];
        for (uint32_t i = 0; i < 8; ++i)
            s[i] = (load8(at + (j0 + i) * step) - h) * splat(ray.inv_dist[j0 + i]);
        const v8f top_slope = vmax(vmax(vmax(s[0], s[1]), vmax(s[2], s[3])),
                                   vmax(vmax(s[4], s[5]), vmax(s[6], s[7])));
        v8f top_inv = splat(0.0f);
        for (uint32_t i = 8; i-- > 0;)
            top_inv = s[i] == top_slope ? splat(ray.inv_dist[j0 + i]) : top_inv;
        const v8i higher = top_slope > best;
        best = higher ? top_slope : best;
        inv = higher ? top_inv : inv;
        j0 += 8;
    }
    // The point at exactly the radius, between the last step and the next.
    const v8f a = load8(at + last * step);
    const v8f b = load8(at + (last + 1) * step);
    const v8f d = splat(ray.inv_radius);
    const v8f s = (a + splat(ray.end_frac) * (b - a) - h) * d;
    const v8i higher = s > best;
    store8(slope_out, higher ? s : best);
    store8(inv_out, higher ? d : inv);
}

// The steepest slope of eight pixels' own rays within the near steps: into the
// first cell, to every cell boundary crossed, and to the top of the surface's
// bulge inside each later cell. p is the first pixel in Q.
inline v8f near_horizon(const float* p, ptrdiff_t stride, const AoRay& ray) noexcept {
    const v8f h = load8(p);
    v8f best = splat(ray.major) * (load8(p + ray.step * stride) - h) +
               splat(ray.minor) * (load8(p + ray.minor_col) - h);
    best = vmax(best, splat(0.0f));
    v8f value[kAoMaxNearSamples];
    for (uint32_t i = 0; i < ray.sample_count; ++i) {
        const AoNearSample& n = ray.samples[i];
        const v8f a = load8(p + n.a_row * stride + n.a_col);
        const v8f b = load8(p + n.b_row * stride + n.b_col);
        value[i] = a + splat(n.w) * (b - a);
        best = vmax(best, (value[i] - h) * splat(n.inv_tau));
    }
    // Inside a cell the height along the ray is f0 + k (tau - tau0) +
    // C (tau - tau0)(tau - tau1): the slope from the pixel, C tau + B + A / tau,
    // peaks at tau* = sqrt(A / C) with B - 2 sqrt(A C) when C < 0 and A < 0.
    for (uint32_t i = 0; i < ray.segment_count; ++i) {
        const AoSegment& g = ray.segments[i];
        const float* c = p + g.row * stride + g.col;
        const v8f twist = ((load8(c) - load8(c + stride)) - load8(c + 1)) + load8(c + stride + 1);
        const v8f cc = twist * splat(ray.twist_scale);
        const v8f f0 = value[g.from];
        const v8f k = (value[g.from + 1] - f0) * splat(g.inv_len);
        const v8f aa = ((f0 - h) - k * splat(g.tau0)) + cc * splat(g.tau_product);
        const v8f bb = k - cc * splat(g.tau_sum);
        const v8i inside =
            (cc < splat(0.0f)) & (aa > cc * splat(g.tau1_sq)) & (aa < cc * splat(g.tau0_sq));
        // Rare: most cells bulge the other way or peak outside the segment.
        if (!any(inside)) continue;
        const v8f root = vsqrt(inside ? aa * cc : splat(0.0f));
        const v8f peak = bb - (root + root);
        best = inside ? vmax(best, peak) : best;
    }
    return best;
}

// One ray over the square: per row the lines' far horizons, then per pixel the
// near one and the two lines' far ones moved to the pixel's height, blended by
// the pixel's distance to each line.
void square_ray(const AoTileJob& job, const SquareLines& sq, const AoRay& ray) noexcept {
    const float* lines = job.scratch->lines;
    const float* bounds = job.scratch->bounds;
    float* result = job.scratch->result;
    float slope[kAoLanes + 8] = {};
    float inv[kAoLanes + 8] = {};
    for (uint32_t y = 0; y < job.rows; ++y) {
        const int32_t r = job.row0 + static_cast<int32_t>(y);
        const RowShift s = shift_of(r, job.set->slope);
        const uint32_t row = static_cast<uint32_t>(r - sq.first_row);
        const uint32_t col = static_cast<uint32_t>(first_line(job.col0, s) - sq.first_col);
        const float* at = lines + row * kLineStride + col;
        const float* bounds_at = bounds + row * kLineStride + col;
        for (uint32_t i = 0; i < kAoLanes; i += 8)
            far_horizon(at + i, bounds_at + i, ray, slope + i, inv + i);
        // A pixel's distance to its second line; 0 on a line.
        const v8f f = splat(s.frac > 0.0f ? 1.0f - s.frac : 0.0f);
        const float* p = job.plane + r * job.stride + job.col0;
        for (uint32_t i = 0; i < kAoLanes; i += 8) {
            const v8f hp = load8(p + i);
            const v8f sa = load8(slope + i) + (load8(at + i) - hp) * load8(inv + i);
            const v8f sb = load8(slope + i + 1) + (load8(at + i + 1) - hp) * load8(inv + i + 1);
            const v8f oa = occluded(sa);
            const v8f far = oa + f * (occluded(sb) - oa);
            const v8f near = occluded(near_horizon(p + i, job.stride, ray));
            store8(result + y * kAoLanes + i, vmax(near, far));
        }
    }
    float* sum = job.set->transposed ? job.sum_across : job.sum;
    for (uint32_t y = 0; y < job.rows; ++y) {
        const float* __restrict o = result + y * kAoLanes;
        float* __restrict total = sum + y * kAoTile;
        for (uint32_t x = 0; x < job.cols; ++x) total[x] += o[x];
    }
}

void square_set(const AoTileJob& job) noexcept {
    uint32_t reach_up = 0, reach_down = 0;
    const AoLineSet& set = *job.set;
    for (uint32_t n = 0; n < set.ray_count; ++n) {
        const uint32_t reach = set.rays[n].far_last + 9;
        if (set.rays[n].step > 0) {
            reach_down = reach_down > reach ? reach_down : reach;
        } else {
            reach_up = reach_up > reach ? reach_up : reach;
        }
    }
    const SquareLines sq = sample_lines(job, reach_up, reach_down);
    for (uint32_t n = 0; n < set.ray_count; ++n) square_ray(job, sq, set.rays[n]);
}

}  // namespace
}  // namespace rk
