#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "heightmap/filters.h"
#include "heightmap/kernel_lookup.h"
#include "imgbuf/checked_size.h"

namespace rk {
namespace {

// Pixels whose edge strengths are tested together before anything is restored:
// a run with no sharp pixel costs one test and no pixel traffic.
constexpr uint32_t kRestoreRun = 16;

// dst's pixel becomes from's wherever the edge strength is not strictly below
// the threshold (NaN counts as sharp), by bit mask within a run.
void restore_sharp(imgbuf* dst, const imgbuf* from, const float* edges, float threshold) noexcept {
    const uint32_t w = dst->width;
    for (uint32_t y = 0; y < dst->height; ++y) {
        float* d = row_unchecked(dst, y);
        const float* f = row_unchecked(from, y);
        const float* e = edges + size_t{y} * w;
        for (uint32_t x0 = 0; x0 < w; x0 += kRestoreRun) {
            const uint32_t n = std::min(kRestoreRun, w - x0);
            uint32_t sharp[kRestoreRun];
            uint32_t any = 0;
            for (uint32_t i = 0; i < n; ++i) {
                sharp[i] = threshold > e[x0 + i] ? 0u : ~0u;
                any |= sharp[i];
            }
            if (!any) continue;
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t db[4], fb[4];
                std::memcpy(db, d + 4 * size_t{x0 + i}, sizeof db);
                std::memcpy(fb, f + 4 * size_t{x0 + i}, sizeof fb);
                for (int c = 0; c < 4; ++c) db[c] = (db[c] & ~sharp[i]) | (fb[c] & sharp[i]);
                std::memcpy(d + 4 * size_t{x0 + i}, db, sizeof db);
            }
        }
    }
}

}  // namespace

// Stage one reads the image and writes T (row blur where flat, the pixel where
// sharp); stage two reads T and writes the image (column blur where flat, T
// where sharp). Neither stage reads what it writes, so each can blur whole lines
// and then put the sharp pixels back: a blurred pixel is the same sum as the
// single-pixel form gives, at the cost of one separable blur. The edge map is
// kept as one float per pixel, computed in one pass.
void detail_filter(imgbuf* img, uint32_t requested_size, float threshold) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0) return;
    // Edge strengths are never negative: a threshold of 0 or less (or NaN) selects
    // no pixel.
    if (!(threshold > 0.0f)) return;
    const BlurKernel* k = heightmap_kernel(KERNEL_GAUSSIAN, requested_size);
    if (!k) return;
    const auto edge_bytes = checked_product(img->width, img->height, sizeof(float));
    if (!edge_bytes) return;
    std::unique_ptr<float[]> edges(new (std::nothrow) float[*edge_bytes / sizeof(float)]);
    ImgbufPtr work = make_image(img->width, img->height);
    if (!edges || !work) return;

    edge_strength_3x3(edges.get(), img, SOBEL_X, SOBEL_Y, 8.0f);
    const uint32_t x_last = img->width - 1, y_last = img->height - 1;
    convolve_rows(work.get(), img, k->weights4, k->size, k->norm, x_last, y_last);
    restore_sharp(work.get(), img, edges.get(), threshold);
    convolve_columns(img, work.get(), k->weights4, k->size, k->norm, x_last, y_last);
    restore_sharp(img, work.get(), edges.get(), threshold);
}

}  // namespace rk
