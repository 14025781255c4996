#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "filter/convolve.h"
#include "filter/convolve_3x3.h"
#include "heightmap/height_blurs.h"
#include "common/block_cache.h"
#include "common/checked_size.h"

namespace rk {
namespace {

// Pixels whose edge strengths are tested together before anything is restored:
// a run with no sharp pixel costs one test and no pixel traffic.
constexpr uint32_t kRestoreRun = 16;

// d's pixel becomes from's wherever the edge strength is not strictly below the
// threshold (NaN counts as sharp), by bit mask within a run; w pixels.
void restore_sharp_row(float* d, const float* f, const float* e, uint32_t w,
                       float threshold) noexcept {
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

// Measures the edges and puts the sharp pixels back as a banded blur of the
// image goes down it. A row's edge strengths are taken when its horizontal result
// is ready, while the image rows around it still hold their own pixels; its sharp
// pixels then take the image's own pixel. After the vertical pass of a band, the
// band's sharp pixels take the horizontal result. Edge rows live in a ring as
// long as the blur's.
class RestoreSharp final : public BandObserver {
  public:
    RestoreSharp(imgbuf* img, uint32_t ring_rows, float threshold) noexcept
        : img_(img), ring_rows_(ring_rows), threshold_(threshold) {}

    bool start(uint32_t chunks) noexcept override {
        const auto count = checked_product(img_->width, ring_rows_, chunks);
        if (!count) return false;
        edges_.reset(new (std::nothrow) float[*count]);
        return edges_ != nullptr;
    }

    void row_done(uint32_t chunk, uint32_t y, float* row) noexcept override {
        float* edges = edge_row(chunk, y);
        edge_strength_row(edges, img_, y, SOBEL_X, SOBEL_Y, 8.0f);
        restore_sharp_row(row, row_unchecked(img_, y), edges, img_->width, threshold_);
    }

    void band_done(uint32_t chunk, uint32_t y0, uint32_t y1, const BandRing& ring,
                   float* out) noexcept override {
        for (uint32_t y = y0; y < y1; ++y, out += stride_floats(img_)) {
            restore_sharp_row(out, ring.row(y), edge_row(chunk, y), img_->width, threshold_);
        }
    }

  private:
    // Each chunk has a ring of edge rows as long as the blur's.
    float* edge_row(uint32_t chunk, uint32_t y) const noexcept {
        return edges_.get() + (size_t{chunk} * ring_rows_ + y % ring_rows_) * img_->width;
    }

    imgbuf* img_;
    std::unique_ptr<float[]> edges_;
    uint32_t ring_rows_;
    float threshold_;
};

// The two stages over whole images, for wrapping: the first rows' vertical sums
// need the last rows' horizontal results and the last rows' edge strengths need
// the first rows' own pixels, neither of which a banded blur still holds.
bool detail_filter_whole(imgbuf* img, const BlurKernel& k, float threshold) noexcept {
    const uint32_t w = img->width;
    const uint32_t h = img->height;
    const auto edge_bytes = checked_product(w, h, sizeof(float));
    if (!edge_bytes) return false;
    const Block edges(*edge_bytes);
    ImgbufPtr stage = make_image(w, h);
    if (!edges || !stage) return false;
    edge_strength_3x3(edges.get<float>(), img, SOBEL_X, SOBEL_Y, 8.0f, EDGE_WRAP);
    convolve_rows(stage.get(), img, k.weights4, k.size, k.norm, w - 1, h - 1, EDGE_WRAP);
    for (uint32_t y = 0; y < h; ++y) {
        restore_sharp_row(row_unchecked(stage.get(), y), row_unchecked(img, y),
                          edges.get<float>() + size_t{y} * w, w, threshold);
    }
    convolve_columns(img, stage.get(), k.weights4, k.size, k.norm, w - 1, h - 1, EDGE_WRAP);
    for (uint32_t y = 0; y < h; ++y) {
        restore_sharp_row(row_unchecked(img, y), row_unchecked(stage.get(), y),
                          edges.get<float>() + size_t{y} * w, w, threshold);
    }
    return true;
}

}  // namespace

// Stage one reads the image and writes T (row blur where flat, the pixel where
// sharp); stage two reads T and writes the image (column blur where flat, T
// where sharp). Neither stage reads what it writes, so each can blur whole lines
// and then put the sharp pixels back: a blurred pixel is the same sum as the
// single-pixel form gives, at the cost of one separable blur. Neither T nor the
// edge map is ever whole: the banded blur keeps only the rows of them that the
// next band of the image needs.
bool detail_filter(imgbuf* img, uint32_t requested_size, float threshold, EdgeMode edge) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0) return true;
    // Edge strengths are never negative: a threshold of 0 or less (or NaN) selects
    // no pixel.
    if (!(threshold > 0.0f)) return true;
    if (!heightmap_kernel_size(requested_size)) return true;
    const BlurKernel* k = heightmap_kernel(KERNEL_GAUSSIAN, requested_size);
    if (!k) return false;
    if (edge == EDGE_WRAP) return detail_filter_whole(img, *k, threshold);
    RestoreSharp restore(img, band_ring_rows(k->size, img->height), threshold);
    return blur_in_bands(img, k->weights4, k->size, k->norm, &restore);
}

}  // namespace rk
