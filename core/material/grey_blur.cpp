#include "material/grey_blur.h"

#include <cstring>

#include "common/export_boundary.h"
#include "filter/convolve.h"
#include "filter/kernel_cache.h"

namespace rk {

uint32_t material_blur_size(uint32_t requested) noexcept {
    const uint32_t odd = requested % 2 == 0 ? requested - 1 : requested;
    return requested < 3 || odd > kMaterialMaxBlur ? 0 : odd;
}

bool gaussian_blur(imgbuf* img, uint32_t size, EdgeMode edge) noexcept {
    const BlurKernel* k = guarded(static_cast<const BlurKernel*>(nullptr),
                                  [&] { return kernel_cache_get(KERNEL_GAUSSIAN, size); });
    if (!k) return false;
    if (edge == EDGE_WRAP) return blur_whole(img, k->weights4, k->size, k->norm, EDGE_WRAP);
    return blur_in_bands(img, k->weights4, k->size, k->norm);
}

ImgbufPtr copy_of(const imgbuf* img) noexcept {
    ImgbufPtr out = make_image(img->width, img->height);
    if (out) std::memcpy(out->pixels, img->pixels, size_t{img->width} * img->height * 16);
    return out;
}

}  // namespace rk
