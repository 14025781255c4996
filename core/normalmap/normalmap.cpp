#include <algorithm>

#include "filter/convolve.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "filter/kernel_cache.h"
#include "normalmap/normal_ops.h"
#include "normalmap/normalmap.h"

namespace rk {
namespace {

// The largest odd size the kernel caches have a slot for; larger blurs are bounded
// to it rather than left without a kernel.
constexpr uint32_t kLargestBlur = 253;

KernelKind kernel_kind_of(uint32_t blur_kind) noexcept {
    switch (blur_kind) {
        case 1:
            return KERNEL_BOX;
        case 2:
            return KERNEL_TENT;
        default:
            return KERNEL_GAUSSIAN;
    }
}

void invert_axes(imgbuf* img, bool x, bool y) noexcept {
    if (x && y) {
        invert_red_green(img);
    } else if (x) {
        invert_red(img);
    } else if (y) {
        invert_green(img);
    }
}

}  // namespace

uint32_t normal_blur_size(uint32_t blur_size) noexcept {
    uint32_t z = blur_size;
    if (z != 0 && z % 2 == 0) --z;
    if (z < 3) return 0;
    return std::min(z, kLargestBlur);
}

// May throw std::bad_alloc from a kernel build.
bool normals_into(imgbuf* normals, const imgbuf* heights, const NormalRecipe& set) {
    // An empty image has no border to make flat and nothing to blur.
    if (heights->width == 0 || heights->height == 0) return true;

    // The operator reads the heights once, straight from the source, which it
    // never writes: a copy would cost a second image and change no result.
    if (!normal_from_height(normals, heights, set.strength, set.centre_weight, set.edge))
        return false;
    // Wrapping computes the border like any other pixel.
    if (set.edge == EDGE_CLAMP) fill_flat_border(normals);
    invert_axes(normals, set.invert_x, set.invert_y);
    if (set.blur_size == 0) return true;

    const BlurKernel* kernel = kernel_cache_get(set.kind, set.blur_size);
    if (!kernel) return false;
    // Rows into a temporary image and columns back, band by band: the same bits.
    // Wrapping needs the whole temporary image (see blur_whole).
    const bool blurred =
        set.edge == EDGE_WRAP
            ? blur_whole(normals, kernel->weights4, kernel->size, kernel->norm, EDGE_WRAP)
            : blur_in_bands(normals, kernel->weights4, kernel->size, kernel->norm);
    if (!blurred) return false;
    renormalise_normals(normals);
    return true;
}

}  // namespace rk

using namespace rk;

extern "C" {

RK_API imgbuf* calc_normalmap_from_heightmap(const imgbuf* heightmap, int32_t invert_x,
                                             int32_t invert_y, uint32_t strength,
                                             uint32_t center_tap, uint32_t blur_size,
                                             uint32_t blur_kind) noexcept {
    return calc_normalmap_from_heightmap_ex(heightmap, invert_x, invert_y, strength, center_tap,
                                            blur_size, blur_kind, RK_EDGE_CLAMP);
}

RK_API imgbuf* calc_normalmap_from_heightmap_ex(const imgbuf* heightmap, int32_t invert_x,
                                                int32_t invert_y, uint32_t strength,
                                                uint32_t center_tap, uint32_t blur_size,
                                                uint32_t blur_kind, uint32_t edge_mode) noexcept {
    if (!has_pixels(heightmap) || edge_mode > RK_EDGE_WRAP) return nullptr;
    const NormalRecipe set{
        .strength = static_cast<float>(std::clamp(strength, 1u, 10u)),
        .centre_weight = (static_cast<float>(center_tap) * 2.0f + 16.0f) / 9.0f,
        .invert_x = invert_x != 0,
        .invert_y = invert_y != 0,
        .kind = kernel_kind_of(blur_kind),
        .blur_size = normal_blur_size(blur_size),
        .edge = static_cast<EdgeMode>(edge_mode),
    };
    return guarded(static_cast<imgbuf*>(nullptr), [&]() -> imgbuf* {
        const LibraryCall busy;
        ImgbufPtr normals = make_image(heightmap->width, heightmap->height);
        if (!normals || !normals_into(normals.get(), heightmap, set)) return nullptr;
        return normals.release();
    });
}

}  // extern "C"
