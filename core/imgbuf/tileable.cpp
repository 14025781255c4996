// make_tileable: an image whose opposite edges meet without a seam.
#include <algorithm>
#include <cmath>

#include "common/export_boundary.h"
#include "imgbuf/imgbuf.h"

using namespace rk;

namespace {

// Across a seam the picture must go on as it does inside. The band along the
// right (bottom) edge is cross-faded into the band along the left (top) edge,
// as it continues across the seam, and the band along the left edge into the
// band just inside it: at distance d from the seam the other picture has
// weight 1 - d / band. At the seam itself the two sides are then neighbours of
// the source (columns band - 1 and band), and where a band ends its pixels
// differ from the source by one band-th of the mix. Unlike mixing each pixel
// with its mirror image across the seam, this makes no reflected shapes.
inline void mix(float* out, const float* own, const float* other, float weight) noexcept {
    const float keep = 1.0f - weight;
    for (int c = 0; c < 4; ++c) out[c] = keep * own[c] + weight * other[c];
}

inline void take(float* out, const float* other) noexcept {
    std::copy_n(other, 4, out);
}

inline float weight_at(uint32_t d, uint32_t band) noexcept {
    return 1.0f - static_cast<float>(d) / static_cast<float>(band);
}

// The distances from the seam whose pixels are mixed: [begin, end) of a band.
// Nearer than begin the other picture weighs exactly 1 and its pixel is taken
// whole; from end on it weighs 0 and the pixel stays as it is. Taking a pixel
// rather than mixing keeps an infinity or NaN of the side that weighs nothing
// out of it (0 * inf is NaN). The weight falls as d grows, so the range is
// found once per band, not per pixel. Besides d = 0, only bands of more than
// 2^24 pixels round a weight to exactly 1 or 0.
struct MixedRange {
    uint32_t begin;
    uint32_t end;
};

MixedRange mixed_range(uint32_t band) noexcept {
    MixedRange r{0, band};
    while (r.begin < band && weight_at(r.begin, band) == 1.0f) ++r.begin;
    while (r.end > r.begin && weight_at(r.end - 1, band) == 0.0f) --r.end;
    return r;
}

// The band of a side of length n: the fraction of it rounded, at least one
// pixel and at most half the side, so the bands and what they read never
// overlap.
uint32_t band_of(uint32_t n, float fraction) noexcept {
    const auto b = static_cast<uint32_t>(std::lround(static_cast<double>(fraction) * n));
    return std::min(std::max(b, 1u), n / 2);
}

// out's edge columns from src's columns; the others are left as they are, as
// out already holds src there.
void blend_columns(imgbuf* out, const imgbuf* src, uint32_t band) noexcept {
    const uint32_t w = src->width;
    const MixedRange mixed = mixed_range(band);
    for (uint32_t y = 0; y < src->height; ++y) {
        const float* s = row_unchecked(src, y);
        float* o = row_unchecked(out, y);
        for (uint32_t d = 0; d < mixed.begin; ++d) {
            take(o + 4 * (w - 1 - size_t{d}), s + 4 * size_t{band - 1 - d});
            take(o + 4 * size_t{d}, s + 4 * size_t{d + band});
        }
        for (uint32_t d = mixed.begin; d < mixed.end; ++d) {
            const float weight = weight_at(d, band);
            const size_t right = w - 1 - d;
            mix(o + 4 * right, s + 4 * right, s + 4 * size_t{band - 1 - d}, weight);
            mix(o + 4 * size_t{d}, s + 4 * size_t{d}, s + 4 * size_t{d + band}, weight);
        }
    }
}

// out's edge rows from src's rows, likewise.
void blend_rows(imgbuf* out, const imgbuf* src, uint32_t band) noexcept {
    const uint32_t h = src->height;
    const size_t row_floats = 4 * size_t{src->width};
    const MixedRange mixed = mixed_range(band);
    for (uint32_t d = 0; d < mixed.end; ++d) {
        const float weight = weight_at(d, band);
        const float* bottom = row_unchecked(src, h - 1 - d);
        const float* top = row_unchecked(src, d);
        float* out_bottom = row_unchecked(out, h - 1 - d);
        float* out_top = row_unchecked(out, d);
        const float* across = row_unchecked(src, band - 1 - d);
        const float* inside = row_unchecked(src, d + band);
        if (d < mixed.begin) {
            std::copy_n(across, row_floats, out_bottom);
            std::copy_n(inside, row_floats, out_top);
            continue;
        }
        for (size_t x = 0; x < row_floats; x += 4) {
            mix(out_bottom + x, bottom + x, across + x, weight);
            mix(out_top + x, top + x, inside + x, weight);
        }
    }
}

}  // namespace

extern "C" {

// Columns first, then rows of the result: a corner is mixed both ways, so it
// meets all three corners it touches when tiled. Each pass reads an untouched
// image, as a band reads pixels the other band of the pass writes.
RK_API imgbuf* make_tileable(const imgbuf* src, float width_fraction) noexcept {
    return guarded(static_cast<imgbuf*>(nullptr), [&]() -> imgbuf* {
        if (!has_pixels(src) || src->width == 0 || src->height == 0) return nullptr;
        if (!(width_fraction > 0.0f && width_fraction <= 0.5f)) return nullptr;
        ImgbufPtr out = make_image(src->width, src->height);
        ImgbufPtr columns = make_image(src->width, src->height);
        if (!out || !columns) return nullptr;
        copy_pixels(columns.get(), src);
        blend_columns(columns.get(), src, band_of(src->width, width_fraction));
        copy_pixels(out.get(), columns.get());
        blend_rows(out.get(), columns.get(), band_of(src->height, width_fraction));
        return out.release();
    });
}

}  // extern "C"
