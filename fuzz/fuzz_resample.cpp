#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t w = in.byte() % 97;
    const uint32_t h = in.byte() % 97;
    imgbuf* src = in.image();
    if (!src) return 0;
    imgbuf* out = imgbuf_resample(src, w, h);
    delete_imgbuf(out);
    delete_imgbuf(src);
    return 0;
}
