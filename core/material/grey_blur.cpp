#include "material/grey_blur.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "filter/kernel_cache.h"
#include "material/grey_taps.h"

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

// Where tap position i of a line of n values reads under the edge mode.
int64_t edge_index(int64_t i, uint32_t n, EdgeMode edge) noexcept {
    if (edge == EDGE_WRAP) {
        const int64_t m = i % n;
        return m < 0 ? m + n : m;
    }
    return std::clamp<int64_t>(i, 0, int64_t{n} - 1);
}

GreyTapsFn taps_fn(ConvolvePath path) noexcept {
#if defined(__x86_64__)
    if (path != CONVOLVE_PLAIN && convolve_path_supported(CONVOLVE_AVX2)) return grey_taps_avx2;
#endif
    (void)path;
    return grey_taps_plain;
}

constexpr uint32_t kMinRows = 16;  // rows of a band

}  // namespace

GreyPlane::GreyPlane(uint32_t w, uint32_t h) noexcept : width_(w) {
    if (const auto bytes = checked_product(w, h, sizeof(float), uint64_t{1} << 40)) {
        block_ = Block(static_cast<size_t>(*bytes));
    }
}

ImgbufPtr grey_image(const float* plane, uint32_t w, uint32_t h, size_t stride) noexcept {
    if (stride == 0) stride = w;
    ImgbufPtr out = make_image(w, h);
    if (!out) return out;
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* g = plane + size_t{y} * stride;
            float* px = row_unchecked(out.get(), y);
            for (uint32_t x = 0; x < w; ++x) {
                px[4 * size_t{x}] = px[4 * size_t{x} + 1] = px[4 * size_t{x} + 2] = g[x];
                px[4 * size_t{x} + 3] = 1.0f;
            }
        }
    });
    return out;
}

bool gaussian_blur_plane(float* plane, uint32_t w, uint32_t h, uint32_t size,
                         EdgeMode edge) noexcept {
    return gaussian_blur_plane_on(convolve_best_path(), plane, w, h, size, edge);
}

bool gaussian_blur_plane_on(ConvolvePath path, float* plane, uint32_t w, uint32_t h, uint32_t size,
                            EdgeMode edge) noexcept {
    const GreyTapsFn sum_taps = taps_fn(path);
    const BlurKernel* k = gaussian(size);
    if (!k || w == 0 || h == 0) return false;
    const uint32_t taps = k->size, left = (taps - 1) / 2;
    // The kernel's weights for one channel (all four lanes hold the same).
    float weight[kMaterialMaxBlur];
    for (uint32_t i = 0; i < taps; ++i) weight[i] = k->weights4[i][0];
    const GreyPlane across(w, h);
    if (!across) return false;
    // Along the rows, each row first copied with its ends continued (or
    // wrapped) by the kernel's reach, so no tap is clamped one by one.
    const size_t reach = size_t{w} + taps - 1;
    const uint32_t bands = row_bands(h, kMinRows);
    std::vector<float> padded;
    try {
        padded.resize(reach * bands);
    } catch (const std::bad_alloc&) {
        return false;
    }
    parallel_bands(h, bands, [&](uint32_t b, uint32_t y0, uint32_t y1) noexcept {
        float* line = padded.data() + reach * b;
        const float* row_taps[kMaterialMaxBlur];
        for (uint32_t i = 0; i < taps; ++i) row_taps[i] = line + i;
        for (uint32_t y = y0; y < y1; ++y) {
            const float* src = plane + size_t{y} * w;
            for (uint32_t i = 0; i < left; ++i) line[i] = src[edge_index(int64_t{i} - left, w, edge)];
            std::memcpy(line + left, src, size_t{w} * sizeof(float));
            for (size_t i = left + size_t{w}; i < reach; ++i)
                line[i] = src[edge_index(static_cast<int64_t>(i) - left, w, edge)];
            sum_taps(across.row(y), row_taps, weight, taps, k->norm, w);
        }
    });
    // Down the columns: tap i of row y is row y - left + i, continued or
    // wrapped past the ends.
    parallel_rows(h, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        const float* col_taps[kMaterialMaxBlur];
        for (uint32_t y = y0; y < y1; ++y) {
            for (uint32_t i = 0; i < taps; ++i)
                col_taps[i] = across.row(
                    static_cast<uint32_t>(edge_index(int64_t{y} - left + i, h, edge)));
            sum_taps(plane + size_t{y} * w, col_taps, weight, taps, k->norm, w);
        }
    });
    return true;
}

}  // namespace rk
