// The library's reading of the JPEG XR helper's reply, on arbitrary bytes: a
// subverted helper may answer anything. The first two bytes choose the picture
// size the library expects (1 to 64 each way); the rest is the reply.
#include <cstdint>

#include "load/jxr_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t width = 1u + data[0] % 64u;
    const uint32_t height = 1u + data[1] % 64u;
    const char* reason = nullptr;
    const rk::ImgbufPtr image =
        rk::image_from_jxr_reply({data + 2, size - 2}, width, height, reason);
    // An image comes with no reason, and has the expected size; null always has one.
    if (static_cast<bool>(image) == (reason != nullptr)) __builtin_trap();
    if (image && (imgbuf_w(image.get()) != width || imgbuf_h(image.get()) != height)) {
        __builtin_trap();
    }
    return 0;
}
