#include <cmath>
#include <cstring>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "heightmap/filters.h"
#include "heightmap/kernel_lookup.h"

namespace rk {
namespace {

// edges.red = (|edges.red| + |other.red|) * 0.5, as (e, e, e, 1).
void edge_strength(imgbuf* edges, const imgbuf* other) noexcept {
    for (uint32_t y = 0; y < edges->height; ++y) {
        float* e = row_unchecked(edges, y);
        const float* o = row_unchecked(other, y);
        for (uint32_t x = 0; x < edges->width; ++x, e += 4, o += 4) {
            const float s = (std::fabs(e[0]) + std::fabs(o[0])) * 0.5f;
            e[0] = s;
            e[1] = s;
            e[2] = s;
            e[3] = 1.0f;
        }
    }
}

// dst's pixel becomes from's wherever the edge strength is not strictly below
// the threshold (NaN on either side counts as sharp); a bit mask, no branch.
void keep_sharp(imgbuf* dst, const imgbuf* from, const imgbuf* edges, float threshold) noexcept {
    for (uint32_t y = 0; y < dst->height; ++y) {
        float* d = row_unchecked(dst, y);
        const float* f = row_unchecked(from, y);
        const float* e = row_unchecked(edges, y);
        for (uint32_t x = 0; x < dst->width; ++x, d += 4, f += 4, e += 4) {
            const uint32_t sharp = threshold > e[0] ? 0u : ~0u;
            uint32_t db[4], fb[4];
            std::memcpy(db, d, sizeof db);
            std::memcpy(fb, f, sizeof fb);
            for (int c = 0; c < 4; ++c) db[c] = (db[c] & ~sharp) | (fb[c] & sharp);
            std::memcpy(d, db, sizeof db);
        }
    }
}

}  // namespace

// Stage one reads the image and writes T (row blur where flat, the pixel where
// sharp); stage two reads T and writes the image (column blur where flat, T
// where sharp). Neither stage reads what it writes, so each can blur whole lines
// and then put the sharp pixels back: a blurred pixel is the same sum as the
// single-pixel form gives, at the cost of one separable blur.
void detail_filter(imgbuf* img, uint32_t requested_size, float threshold) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0) return;
    // Edge strengths are never negative: a threshold of 0 or less (or NaN) selects
    // no pixel.
    if (!(threshold > 0.0f)) return;
    const BlurKernel* k = heightmap_kernel(KERNEL_GAUSSIAN, requested_size);
    if (!k) return;
    ImgbufPtr edges = make_image(img->width, img->height);
    ImgbufPtr work = make_image(img->width, img->height);
    if (!edges || !work) return;

    convolve_3x3(edges.get(), img, SOBEL_X, 8.0f);
    convolve_3x3(work.get(), img, SOBEL_Y, 8.0f);
    edge_strength(edges.get(), work.get());

    const uint32_t x_last = img->width - 1, y_last = img->height - 1;
    convolve_rows(work.get(), img, k->weights4, k->size, k->norm, x_last, y_last);
    keep_sharp(work.get(), img, edges.get(), threshold);
    convolve_columns(img, work.get(), k->weights4, k->size, k->norm, x_last, y_last);
    keep_sharp(img, work.get(), edges.get(), threshold);
}

}  // namespace rk
