// A minimal host of the public interface that runs the command-line pipeline:
// photo file -> height map PNG and normal map PNG, with the settings the
// benchmark measures. Frees each image as soon as it is no longer needed, as a
// careful host would, so its peak memory is the library's own.
//
//   rk_pipeline_driver PHOTO HEIGHT_PNG NORMAL_PNG
#include <cstdio>
#include <memory>
#include <string>

#include "reliefkit.h"
#include "settings.h"
#include "utf16_path.h"

namespace {

struct ImageDeleter {
    void operator()(imgbuf* img) const noexcept { delete_imgbuf(img); }
};
using Image = std::unique_ptr<imgbuf, ImageDeleter>;

bool save(const std::string& path, const imgbuf* img) {
    char16_t msg[512] = {};
    core_saveimage_png(msg, 512, rkbench::utf16_path(path).c_str(), img);
    return msg[0] == 0;
}

int run(const std::string& photo_path, const std::string& height_path,
        const std::string& normal_path) {
    using H = rkbench::HeightSettings;
    using N = rkbench::NormalSettings;
    Image height;
    {
        Image photo(load_image(rkbench::utf16_path(photo_path).c_str()));
        if (!photo) return std::fprintf(stderr, "cannot load %s\n", photo_path.c_str()), 1;
        height.reset(calc_heightmap_from_photo(photo.get(), H::mode, H::flags, H::midpoint,
                                               H::clamp_low, H::clamp_high, H::detail_size,
                                               H::detail_threshold, H::weight, H::weight, H::weight,
                                               H::smooth_size, H::smooth_kind));
    }
    if (!height) return std::fprintf(stderr, "no height map\n"), 1;
    if (!save(height_path, height.get()))
        return std::fprintf(stderr, "cannot save height map\n"), 1;
    Image normal(calc_normalmap_from_heightmap(height.get(), 0, 0, N::strength, N::center_tap,
                                               N::blur_size, N::blur_kind));
    height.reset();
    if (!normal) return std::fprintf(stderr, "no normal map\n"), 1;
    if (!save(normal_path, normal.get()))
        return std::fprintf(stderr, "cannot save normal map\n"), 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PHOTO HEIGHT_PNG NORMAL_PNG\n", argv[0]);
        return 2;
    }
    init();
    int status = 1;
    try {
        status = run(argv[1], argv[2], argv[3]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    cleanup();
    return status;
}
