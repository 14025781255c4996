// calc_heightmap_from_photo_ex with every edge mode, under 1, 2 or 3 threads
// and again under another count (the bits must not change). Wrap first runs
// make_tileable, as the command does, which rk_make_tileable must match; clamp
// must give the bits of the older calc_heightmap_from_photo, which refuses
// the de-lit mode.
#include <cstdlib>

#include "fuzz_input.h"

namespace {

// make_tileable, checked against rk_make_tileable: the same refusals, the same bits.
imgbuf* tileable_of(const imgbuf* src, float width_fraction) {
    imgbuf* tileable = make_tileable(src, width_fraction);
    imgbuf* rk = nullptr;
    const rk_status status = rk_make_tileable(src, width_fraction, &rk);
    if ((status == RK_OK) != (tileable != nullptr) || (rk && !fuzz::same_pixels(rk, tileable))) {
        std::abort();
    }
    rk_image_free(rk);
    return tileable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t mode = in.byte() % 10;
    const uint32_t flags = in.byte();
    const float midpoint = in.param(), low = in.param(), high = in.param();
    const uint32_t detail_size = in.kernel_size();
    const uint32_t smooth_size = in.kernel_size();
    const float threshold = in.param(), w1 = in.param(), w2 = in.param(), w3 = in.param();
    const uint32_t smooth_kind = in.byte() % 4;
    // Edge modes 0 (clamp), 1 (wrap) and an unknown one.
    const uint32_t edge = in.byte() % 3;
    const float tile_width = in.param();
    const uint32_t threads = 1 + in.byte() % 3;
    imgbuf* src = in.image();
    if (!src) return 0;
    imgbuf* tileable = edge == 1 ? tileable_of(src, tile_width) : nullptr;
    const imgbuf* photo = tileable ? tileable : src;
    imgbuf* out = fuzz::made_alike_by_thread_counts(threads, [&] {
        return calc_heightmap_from_photo_ex(photo, mode, flags, midpoint, low, high, detail_size,
                                            threshold, w1, w2, w3, smooth_size, smooth_kind, edge);
    });
    if (edge == RK_EDGE_CLAMP) {
        imgbuf* older =
            calc_heightmap_from_photo(src, mode, flags, midpoint, low, high, detail_size, threshold,
                                      w1, w2, w3, smooth_size, smooth_kind);
        const bool alike = mode < HM_MODE_DELIT ? (older != nullptr) == (out != nullptr) &&
                                                      (!out || fuzz::same_pixels(older, out))
                                                : older == nullptr;
        if (!alike) std::abort();
        delete_imgbuf(older);
    }
    delete_imgbuf(out);
    delete_imgbuf(tileable);
    delete_imgbuf(src);
    return 0;
}
