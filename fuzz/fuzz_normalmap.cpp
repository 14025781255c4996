// calc_normalmap_from_heightmap_ex with every edge mode, under 1, 2 or 3
// threads and again under another count (the bits must not change); clamp
// must give the bits of the older calc_normalmap_from_heightmap.
#include <cstdlib>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int32_t invert_x = static_cast<int32_t>(in.u32());
    const int32_t invert_y = static_cast<int32_t>(in.u32());
    const uint32_t strength = in.byte() % 16;
    const uint32_t center = in.u32();
    const uint8_t size_sel = in.byte();
    // Mostly small blurs; now and then the sizes at and past the cache's end.
    const uint32_t blur_size = size_sel < 240 ? size_sel % 40 : 250 + (size_sel - 240) * 3;
    const uint32_t blur_kind = in.byte() % 4;
    const uint32_t edge = in.byte() % 3;  // clamp, wrap and an unknown mode
    const uint32_t threads = 1 + in.byte() % 3;
    imgbuf* src = in.image();
    if (!src) return 0;
    imgbuf* out = fuzz::made_alike_by_thread_counts(threads, [&] {
        return calc_normalmap_from_heightmap_ex(src, invert_x, invert_y, strength, center,
                                                blur_size, blur_kind, edge);
    });
    if (edge == RK_EDGE_CLAMP) {
        imgbuf* older = calc_normalmap_from_heightmap(src, invert_x, invert_y, strength, center,
                                                      blur_size, blur_kind);
        if ((older != nullptr) != (out != nullptr) || (out && !fuzz::same_pixels(older, out))) {
            std::abort();
        }
        delete_imgbuf(older);
    }
    delete_imgbuf(out);
    delete_imgbuf(src);
    return 0;
}
