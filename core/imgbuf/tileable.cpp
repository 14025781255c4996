// make_tileable: an image whose opposite edges meet without a seam.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/export_boundary.h"
#include "imgbuf/imgbuf.h"

using namespace rk;

namespace {

// Each pair of pixels at distance d from the seam (a on one side, b on the
// other) is mixed towards its partner by share(d) = (1 - d / band) / 2: half at
// the seam, so the two sides meet there exactly, falling to nothing where the
// band ends, so the band joins the untouched centre smoothly. Mixing mirror
// pairs moves no content: both sides stay where they were, only their
// difference fades out towards the seam.
inline void mix_pair(float* a, float* b, float share) noexcept {
    const float keep = 1.0f - share;
    for (int c = 0; c < 4; ++c) {
        const float va = a[c], vb = b[c];
        a[c] = keep * va + share * vb;
        b[c] = keep * vb + share * va;
    }
}

inline float share_at(uint32_t d, uint32_t band) noexcept {
    return 0.5f * (1.0f - static_cast<float>(d) / static_cast<float>(band));
}

// The band of a side of length n: the fraction of it rounded, at least one
// pixel and at most half the side, so the two bands never overlap.
uint32_t band_of(uint32_t n, float fraction) noexcept {
    const auto b = static_cast<uint32_t>(std::lround(static_cast<double>(fraction) * n));
    return std::min(std::max(b, 1u), n / 2);
}

void blend_columns(imgbuf* img, uint32_t band) noexcept {
    const uint32_t w = img->width;
    for (uint32_t y = 0; y < img->height; ++y) {
        float* row = row_unchecked(img, y);
        for (uint32_t d = 0; d < band; ++d) {
            mix_pair(row + 4 * size_t{w - 1 - d}, row + 4 * size_t{d}, share_at(d, band));
        }
    }
}

void blend_rows(imgbuf* img, uint32_t band) noexcept {
    const uint32_t h = img->height;
    for (uint32_t d = 0; d < band; ++d) {
        const float share = share_at(d, band);
        float* bottom = row_unchecked(img, h - 1 - d);
        float* top = row_unchecked(img, d);
        for (uint32_t x = 0; x < img->width; ++x) {
            mix_pair(bottom + 4 * size_t{x}, top + 4 * size_t{x}, share);
        }
    }
}

}  // namespace

extern "C" {

// Columns first, then rows of the result: a corner is mixed both ways, so it
// meets all three corners it touches when tiled.
RK_API imgbuf* make_tileable(const imgbuf* src, float width_fraction) noexcept {
    return guarded(static_cast<imgbuf*>(nullptr), [&]() -> imgbuf* {
        if (!has_pixels(src) || src->width == 0 || src->height == 0) return nullptr;
        if (!(width_fraction > 0.0f && width_fraction <= 0.5f)) return nullptr;
        ImgbufPtr out = make_image(src->width, src->height);
        if (!out) return nullptr;
        std::memcpy(out->pixels, src->pixels, size_t{src->width} * src->height * 16);
        blend_columns(out.get(), band_of(src->width, width_fraction));
        blend_rows(out.get(), band_of(src->height, width_fraction));
        return out.release();
    });
}

}  // extern "C"
