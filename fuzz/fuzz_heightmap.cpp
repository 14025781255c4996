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
    imgbuf* src = in.image();
    if (!src) return 0;
    imgbuf* out = calc_heightmap_from_photo(src, mode, flags, midpoint, low, high, detail_size,
                                            threshold, w1, w2, w3, smooth_size, smooth_kind);
    delete_imgbuf(out);
    if (mode == HM_MODE_DELIT) {  // the de-lit mode, on either edge (flag bit 6 is unused)
        delete_imgbuf(calc_heightmap_from_photo_ex(src, mode, flags, midpoint, low, high,
                                                   detail_size, threshold, w1, w2, w3, smooth_size,
                                                   smooth_kind, (flags >> 6) & 1u));
    }
    delete_imgbuf(src);
    return 0;
}
