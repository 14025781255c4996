// load_image on arbitrary bytes. JPEG XR is chosen by extension, so files that
// start like one get a .jxr name and the rest a neutral one.
#include <cstdio>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool jxr = size >= 3 && data[0] == 'I' && data[1] == 'I' && data[2] == 0xBC;
    const std::u16string path = fuzz::temp_path(jxr ? ".jxr" : ".img");
    FILE* f = std::fopen(fuzz::narrow(path).c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    imgbuf* img = load_image(path.c_str());
    // Touch every pixel so that a block smaller than its rows shows up. A zero-width
    // image may have any height and has no pixels to touch.
    if (img && imgbuf_w(img) > 0) {
        volatile float sink = 0;
        for (uint32_t y = 0; y < imgbuf_h(img); ++y) {
            const float* row = imgbuf_row(img, y);
            for (uint32_t i = 0; i < imgbuf_w(img) * 4; ++i) sink = sink + row[i];
        }
    }
    delete_imgbuf(img);
    std::remove(fuzz::narrow(path).c_str());
    return 0;
}
