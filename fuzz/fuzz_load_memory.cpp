// rk_load_memory on arbitrary bytes: every format by content, JPEG XR included
// (decoded by the helper process when its container passes the check), with
// no file at all. The status and message must agree with the result, and a
// failure must leave *out as it was.
#include <cstdlib>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Never an image: only its address is compared.
    static char unwritten;
    imgbuf* const sentinel = reinterpret_cast<imgbuf*>(&unwritten);
    imgbuf* img = sentinel;
    const rk_status status = rk_load_memory(data, size, &img);
    const bool written = img != sentinel;
    if ((status == RK_OK) != written || (written && !img) ||
        (status == RK_OK) != (*rk_last_error() == '\0')) {
        std::abort();
    }
    if (!written) img = nullptr;
    // No reader returns an image past the fuzz builds' cap on one block.
    if (img && !fuzz::within_block_cap(img)) std::abort();
    // Touch every pixel so that a block smaller than its rows shows up.
    if (img && rk_image_width(img) > 0) {
        volatile float sink = 0;
        for (uint32_t y = 0; y < rk_image_height(img); ++y) {
            const float* row = imgbuf_row(img, y);
            for (uint32_t i = 0; i < rk_image_width(img) * 4; ++i) sink = sink + row[i];
        }
    }
    rk_image_free(img);
    return 0;
}
