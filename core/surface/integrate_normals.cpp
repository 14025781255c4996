#include "surface/integrate_normals.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "common/block_cache.h"
#include "common/thread_pool.h"
#include "filter/spectral.h"

namespace rk {
namespace {

// The flattest z read from a map: steeper normals are taken as this steep, so
// that a normal on the horizon does not become an infinite slope.
constexpr float kLeastZ = 0.1f;

// A slope this small reads as level: an 8-bit map's level normal is 128/255,
// a slope of 0.004.
constexpr float kLevel = 0.005f;

// This library's own normal maps of non-tiling images are level along their
// outermost pixels (the generator has no neighbours there to take slopes
// from), as are some other tools': slopes of 0 that the surface does not
// have. When every pixel of the ring reads the same level slope and the ring
// inside it does not, the ring is given its inner neighbours' slopes.
void fill_flat_ring(float* p, float* q, uint32_t w, uint32_t h) noexcept {
    if (w < 4 || h < 4) return;
    const float p0 = p[0], q0 = q[0];
    if (!(std::abs(p0) < kLevel && std::abs(q0) < kLevel)) return;
    bool ring = true, inner = true;
    auto look = [&](size_t outer, size_t in) {
        ring = ring && p[outer] == p0 && q[outer] == q0;
        inner = inner && p[in] == p0 && q[in] == q0;
    };
    for (uint32_t x = 0; x < w; ++x) {
        look(x, w + std::clamp<size_t>(x, 1, w - 2));
        look(size_t{h - 1} * w + x, size_t{h - 2} * w + std::clamp<size_t>(x, 1, w - 2));
    }
    for (uint32_t y = 1; y + 1 < h; ++y) {
        look(size_t{y} * w, size_t{y} * w + 1);
        look(size_t{y} * w + w - 1, size_t{y} * w + w - 2);
    }
    if (!ring || inner) return;
    for (uint32_t y = 1; y + 1 < h; ++y) {
        float* pr = p + size_t{y} * w;
        float* qr = q + size_t{y} * w;
        pr[0] = pr[1], qr[0] = qr[1], pr[w - 1] = pr[w - 2], qr[w - 1] = qr[w - 2];
    }
    std::copy(p + w, p + 2 * size_t{w}, p);
    std::copy(q + w, q + 2 * size_t{w}, q);
    std::copy(p + size_t{h - 2} * w, p + size_t{h - 1} * w, p + size_t{h - 1} * w);
    std::copy(q + size_t{h - 2} * w, q + size_t{h - 1} * w, q + size_t{h - 1} * w);
}

}  // namespace

float write_unit_heights(imgbuf* dst, const float* heights) noexcept {
    const uint32_t w = dst->width, h = dst->height;
    float lo = INFINITY, hi = -INFINITY;
    for (size_t i = 0; i < size_t{w} * h; ++i) {
        lo = std::min(lo, heights[i]);
        hi = std::max(hi, heights[i]);
    }
    // A level surface solved under lights at whole quarter turns (whose
    // vectors keep a cosine of 90 degrees that is not quite 0) integrates to
    // heights 1e-14 px apart, which scaled to 0..1 would be a full ramp.
    const float level = kLevelSpan * static_cast<float>(std::max(w, h));
    const float span = hi - lo > level ? hi - lo : 0.0f;
    const float scale = span > 0.0f ? 1.0f / span : 0.0f;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* s = heights + size_t{y} * w;
            float* out = row_unchecked(dst, y);
            for (uint32_t x = 0; x < w; ++x) {
                const float v = (s[x] - lo) * scale;
                out[4 * x] = v;
                out[4 * x + 1] = v;
                out[4 * x + 2] = v;
                out[4 * x + 3] = 1.0f;
            }
        }
    });
    return span;
}

ImgbufPtr heights_from_normals(const imgbuf* normals, const IntegrateSettings& settings,
                               float* range) noexcept {
    if (!has_pixels(normals)) return nullptr;
    const LibraryCall busy;
    try {
        const uint32_t w = normals->width, h = normals->height;
        ImgbufPtr out = make_image(w, h);
        if (!out) return nullptr;
        // Three whole-image planes: from the block cache, like the images
        // (every value is written before it is read).
        const size_t bytes = size_t{w} * h * sizeof(float);
        const Block p_block(bytes), q_block(bytes);
        if (!p_block || !q_block) return nullptr;
        float* const p = p_block.get<float>();
        float* const q = q_block.get<float>();
        const float sx = settings.invert_x ? -1.0f : 1.0f, sy = settings.invert_y ? -1.0f : 1.0f;
        // z = zk * blue + z0 when blue is read (zk 0: not read).
        const float zk = settings.blue == NormalBlue::z        ? 1.0f
                         : settings.blue == NormalBlue::biased ? 2.0f
                                                               : 0.0f;
        const float z0 = settings.blue == NormalBlue::biased ? -1.0f : 0.0f;
        parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
            for (uint32_t y = y0; y < y1; ++y) {
                const float* s = row_unchecked(normals, y);
                for (uint32_t x = 0; x < w; ++x) {
                    // NaN reads as flat; a length above 1 is brought back to 1.
                    const float r = std::clamp(2.0f * s[4 * x] - 1.0f, -1.0f, 1.0f);
                    const float g = std::clamp(2.0f * s[4 * x + 1] - 1.0f, -1.0f, 1.0f);
                    const float nx = r == r ? sx * r : 0.0f, ny = g == g ? sy * g : 0.0f;
                    const float b = zk * s[4 * x + 2] + z0;
                    const float z = zk != 0.0f
                                        ? (b == b ? b : 1.0f)
                                        : std::sqrt(std::max(1.0f - (nx * nx + ny * ny), 0.0f));
                    const float nz = std::max(z, kLeastZ);
                    p[size_t{y} * w + x] = -nx / nz;
                    q[size_t{y} * w + x] = -ny / nz;
                }
            }
        });
        if (!settings.wrap) fill_flat_ring(p, q, w, h);
        const Block heights(bytes);
        if (!heights || !integrate_slopes(p, q, w, h, settings.wrap, heights.get<float>(),
                                          fitting_stencils(p, q, w, h))) {
            return nullptr;
        }
        const float span = write_unit_heights(out.get(), heights.get<float>());
        if (range) *range = span;
        return out;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace rk
