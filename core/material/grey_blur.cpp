#include "material/grey_blur.h"

#include <algorithm>
#include <cstring>

#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "filter/convolve.h"
#include "filter/kernel_cache.h"

namespace rk {

uint32_t material_blur_size(uint32_t requested) noexcept {
    const uint32_t odd = requested % 2 == 0 ? requested - 1 : requested;
    return requested < 3 || odd > kMaterialMaxBlur ? 0 : odd;
}

namespace {

const BlurKernel* gaussian(uint32_t size) noexcept {
    return guarded(static_cast<const BlurKernel*>(nullptr),
                   [&] { return kernel_cache_get(KERNEL_GAUSSIAN, size); });
}

// The passes blur three channels (alpha is set, not blurred).
constexpr uint32_t kCarried = 3;

}  // namespace

GreyPlane::GreyPlane(uint32_t w, uint32_t h) noexcept : width_(w) {
    if (const auto bytes = checked_product(w, h, sizeof(float), uint64_t{1} << 40)) {
        block_ = Block(static_cast<size_t>(*bytes));
    }
}

bool gaussian_blur_plane(float* plane, uint32_t w, uint32_t h, uint32_t size,
                         EdgeMode edge) noexcept {
    const BlurKernel* k = gaussian(size);
    if (!k || w == 0 || h == 0) return false;
    // Along the rows: plane rows 3 y .. 3 y + 2 in the channels of image row
    // y (the last rows repeated to fill the last image row; the horizontal
    // pass never mixes rows). Each pass's input is let go before the next
    // image is made: two packed images (two thirds of a grey image's memory)
    // live at once.
    const uint32_t packed_rows = (h + kCarried - 1) / kCarried;
    ImgbufPtr rows_in = make_image(w, packed_rows);
    if (!rows_in) return false;
    parallel_rows(packed_rows, 8, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* dst = row_unchecked(rows_in.get(), y);
            for (uint32_t c = 0; c < kCarried; ++c) {
                const float* src = plane + size_t{std::min(kCarried * y + c, h - 1)} * w;
                for (uint32_t x = 0; x < w; ++x) dst[4 * size_t{x} + c] = src[x];
            }
        }
    });
    ImgbufPtr rows_out = make_image(w, packed_rows);
    if (!rows_out) return false;
    convolve_rows(rows_out.get(), rows_in.get(), k->weights4, k->size, k->norm, w - 1,
                  packed_rows - 1, edge);
    rows_in.reset();
    // Down the columns: three neighbouring plane columns in the channels of
    // one pixel (zeros past the last; the vertical pass never mixes columns).
    const uint32_t packed_cols = (w + kCarried - 1) / kCarried;
    ImgbufPtr cols_in = make_image(packed_cols, h);
    if (!cols_in) return false;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* src = row_unchecked(rows_out.get(), y / kCarried) + y % kCarried;
            float* dst = row_unchecked(cols_in.get(), y);
            std::fill(dst, dst + 4 * size_t{packed_cols}, 0.0f);
            for (uint32_t x = 0; x < w; ++x)
                dst[4 * size_t{x / kCarried} + x % kCarried] = src[4 * size_t{x}];
        }
    });
    rows_out.reset();
    ImgbufPtr cols_out = make_image(packed_cols, h);
    if (!cols_out) return false;
    convolve_columns(cols_out.get(), cols_in.get(), k->weights4, k->size, k->norm,
                     packed_cols - 1, h - 1, edge);
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* src = row_unchecked(cols_out.get(), y);
            float* dst = plane + size_t{y} * w;
            for (uint32_t x = 0; x < w; ++x) dst[x] = src[4 * size_t{x / kCarried} + x % kCarried];
        }
    });
    return true;
}

}  // namespace rk
