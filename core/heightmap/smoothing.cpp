#include "filter/convolve.h"
#include "heightmap/height_blurs.h"
#include "common/export_boundary.h"
#include "filter/kernel_cache.h"

namespace rk {

std::optional<uint32_t> heightmap_kernel_size(uint32_t requested) noexcept {
    if (requested <= 2) return std::nullopt;
    if (requested > 100) return 99;
    return requested % 2 == 0 ? requested - 1 : requested;
}

const BlurKernel* heightmap_kernel(KernelKind kind, uint32_t requested) noexcept {
    const auto size = heightmap_kernel_size(requested);
    if (!size) return nullptr;
    // A kernel that cannot be built leaves the image unfiltered.
    return guarded(static_cast<const BlurKernel*>(nullptr),
                   [&] { return kernel_cache_get(kind, *size); });
}

bool final_smoothing(imgbuf* img, uint32_t requested_size, KernelKind kind,
                     EdgeMode edge) noexcept {
    if (!has_pixels(img) || img->width == 0 || img->height == 0) return true;
    if (!heightmap_kernel_size(requested_size)) return true;
    const BlurKernel* k = heightmap_kernel(kind, requested_size);
    if (!k) return false;
    if (edge == EDGE_WRAP) return blur_whole(img, k->weights4, k->size, k->norm, EDGE_WRAP);
    // Rows into a temporary image, then columns back, band by band: the same bits
    // without a whole second image to fault in, write and read back.
    return blur_in_bands(img, k->weights4, k->size, k->norm);
}

}  // namespace rk
