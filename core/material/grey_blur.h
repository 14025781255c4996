// What the curvature and roughness maps share: grey planes blurred with the
// library's Gaussian kernels under either edge mode.
#pragma once

#include <cstdint>

#include "common/block_cache.h"
#include "filter/convolve.h"
#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// The largest Gaussian the material maps use: the kernel caches hold odd sizes
// up to 253.
inline constexpr uint32_t kMaterialMaxBlur = 253;

// The odd kernel size for a requested one (an even size lowered by one), or 0
// when it is below 3 or above kMaterialMaxBlur.
uint32_t material_blur_size(uint32_t requested) noexcept;

// One grey channel of w * h floats, rows of w, from the block cache and
// uninitialised: a quarter of the memory of a grey image, which repeats each
// value in three channels and carries an alpha.
class GreyPlane {
  public:
    // Empty (data() null) when w * h overflows or memory runs out.
    GreyPlane(uint32_t w, uint32_t h) noexcept;
    float* data() const noexcept { return block_.get<float>(); }
    float* row(uint32_t y) const noexcept { return data() + size_t{y} * width_; }
    explicit operator bool() const noexcept { return static_cast<bool>(block_); }
    // Gives the memory back to the block cache before the plane goes out of
    // scope; data() is null afterwards.
    void release() noexcept { block_ = Block(); }

  private:
    Block block_;
    uint32_t width_;
};

// A grey image of the plane's w * h floats: each in red, green and blue,
// alpha 1. Null when memory runs out. The maps keep their values in planes
// and make their image last, once the rest of their scratch is given back:
// made first, the image (four times a plane) would stand beside all of it at
// the peak of a command making the whole material, whose every byte past its
// earlier peak the system has to zero. Rows lie stride floats apart (0: w).
ImgbufPtr grey_image(const float* plane, uint32_t w, uint32_t h, size_t stride = 0) noexcept;

// Blurs a plane of w * h floats in place with the Gaussian of that odd size:
// the bits the library's image blur (blur_in_bands, or blur_whole when
// wrapping) gives each channel of an image whose channels all hold the
// plane, the same operations on a quarter of the memory (one float a pixel,
// none carried for the other channels). False when the kernel or the
// temporary plane cannot be had (the plane is then untouched).
bool gaussian_blur_plane(float* plane, uint32_t w, uint32_t h, uint32_t size,
                         EdgeMode edge) noexcept;
// The same on a chosen instruction-set build (plain or AVX2; AVX-512
// processors run the AVX2 build): every build gives the same bits.
bool gaussian_blur_plane_on(ConvolvePath path, float* plane, uint32_t w, uint32_t h,
                            uint32_t size, EdgeMode edge) noexcept;

}  // namespace rk
