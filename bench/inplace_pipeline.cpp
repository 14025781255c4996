// rk_inplace_pipeline: what `reliefkit photo.jpg` (its defaults) would cost if
// both generators could write into their source: the photograph becomes the
// height map, which is saved, then becomes the normal map, which is saved. One
// image instead of two. The public interface has no such generator yet, so
// this host strings the library's internal steps together in the generators'
// order; rk_threads_bench checks that its files are the command's, byte for byte.
//
//   rk_inplace_pipeline PHOTO OUT_DIR   (writes photo_height.png, photo_normal.png)
#include <cstdio>
#include <string>

#include "common/thread_pool.h"
#include "heightmap/convert.h"
#include "heightmap/height_blurs.h"
#include "heightmap/levels.h"
#include "imgbuf/imgbuf.h"
#include "normalmap/normal_ops.h"
#include "reliefkit.h"

namespace {

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

bool save(const imgbuf* img, const std::string& path, uint32_t layout) {
    char16_t msg[256] = {};
    save_png_ex(msg, 256, u16(path).c_str(), img, 8, layout, 0, 1, 2);
    return msg[0] == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rk_inplace_pipeline PHOTO OUT_DIR\n");
        return 2;
    }
    const std::string out = argv[2];
    rk::ImgbufPtr img(load_image(u16(argv[1]).c_str()));
    if (!img) return 1;
    {
        // The command's height defaults: luminance, auto-levels, detail 5 / 0.05,
        // Gaussian smoothing 3.
        const rk::LibraryCall call;
        rk::convert_to_height(img.get(), img.get(), rk::conversion_variant(7, 0));
        rk::auto_levels(img.get());
        rk::detail_filter(img.get(), 5, 0.05f, rk::EDGE_CLAMP);
        rk::final_smoothing(img.get(), 3, rk::KERNEL_GAUSSIAN, rk::EDGE_CLAMP);
    }
    if (!save(img.get(), out + "/photo_height.png", RK_PNG_GREY)) return 1;
    {
        // Strength 2, centre tap 1, no blur.
        const rk::LibraryCall call;
        if (!rk::normal_from_height(img.get(), img.get(), 2.0f, 18.0f / 9.0f, rk::EDGE_CLAMP))
            return 1;
        rk::fill_flat_border(img.get());
    }
    return save(img.get(), out + "/photo_normal.png", RK_PNG_RGB) ? 0 : 1;
}
