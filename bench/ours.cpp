#include "ours.h"

#include <stdexcept>

#include "heightmap/height_blurs.h"
#include "reliefkit.h"
#include "settings.h"
#include "utf16_path.h"

namespace rkbench::ours {
namespace {

rk::ImgbufPtr adopt(imgbuf* img) {
    if (!img) throw std::runtime_error("the library returned no image");
    return rk::ImgbufPtr(img);
}

}  // namespace

void smooth(imgbuf* img, rk::KernelKind kind, uint32_t size) {
    rk::final_smoothing(img, size, kind);
}

void detail(imgbuf* img, uint32_t size, float threshold) {
    rk::detail_filter(img, size, threshold);
}

rk::ImgbufPtr heightmap(const imgbuf* photo) {
    using S = HeightSettings;
    return adopt(calc_heightmap_from_photo(
        photo, S::mode, S::flags, S::midpoint, S::clamp_low, S::clamp_high, S::detail_size,
        S::detail_threshold, S::weight, S::weight, S::weight, S::smooth_size, S::smooth_kind));
}

rk::ImgbufPtr normalmap(const imgbuf* height) {
    using S = NormalSettings;
    return adopt(calc_normalmap_from_heightmap(height, 0, 0, S::strength, S::center_tap,
                                               S::blur_size, S::blur_kind));
}

rk::ImgbufPtr load(const std::string& path) {
    return adopt(load_image(utf16_path(path).c_str()));
}

void save_png(const std::string& path, const imgbuf* img) {
    char16_t msg[512] = {};
    core_saveimage_png(msg, 512, utf16_path(path).c_str(), img);
    if (msg[0] != 0) throw std::runtime_error("core_saveimage_png failed for " + path);
}

}  // namespace rkbench::ours
