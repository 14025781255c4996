#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t mode = in.byte() % 10;
    const uint32_t flags = in.byte();
    const float midpoint = in.param(), low = in.param(), high = in.param();
    const uint32_t detail_size = in.kernel_size();
    const uint32_t smooth_size = in.kernel_size();
    const float threshold = in.param(), w1 = in.param(), w2 = in.param(), w3 = in.param();
    const uint32_t smooth_kind = in.byte() % 4;
    // Edge modes 0 (clamp), 1 (wrap) and an unknown one; wrap also runs
    // make_tileable first, as the command does.
    const uint32_t edge = in.byte() % 3;
    const float tile_width = in.param();
    imgbuf* src = in.image();
    if (!src) return 0;
    imgbuf* tileable = edge == 1 ? make_tileable(src, tile_width) : nullptr;
    imgbuf* out = calc_heightmap_from_photo_ex(tileable ? tileable : src, mode, flags, midpoint,
                                               low, high, detail_size, threshold, w1, w2, w3,
                                               smooth_size, smooth_kind, edge);
    delete_imgbuf(out);
    delete_imgbuf(tileable);
    delete_imgbuf(src);
    return 0;
}
