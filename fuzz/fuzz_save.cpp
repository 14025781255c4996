// Every saver, to a private temporary file that is read back by load_image.
#include <cstdio>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t saver = in.byte();
    const bool nmap = saver & 1;
    // save_png_ex with depths 8, 16 and a wrong one, grey, RGB and a wrong layout.
    const bool ex = saver & 2;
    const uint32_t depth = (saver >> 2) % 3 == 0 ? 8 : (saver >> 2) % 3 == 1 ? 16 : saver;
    const uint32_t layout = (saver >> 4) % 3 == 0   ? RK_PNG_GREY
                            : (saver >> 4) % 3 == 1 ? RK_PNG_RGB
                                                    : 2;
    const int32_t r = static_cast<int8_t>(in.byte()), g = static_cast<int8_t>(in.byte()),
                  b = static_cast<int8_t>(in.byte());
    const int32_t capacity = static_cast<int8_t>(in.byte());
    imgbuf* src = in.image();
    if (!src) return 0;
    const std::u16string path = fuzz::temp_path(".png");
    char16_t msg[130];
    char16_t* buf = capacity == 0 ? nullptr : msg;
    const int32_t cap = capacity > 0 ? capacity : 0;
    if (ex) {
        save_png_ex(buf, cap, path.c_str(), src, depth, layout, r, g, b);
    } else if (nmap) {
        core_saveimage_nmap_png(buf, cap, path.c_str(), src, r, g, b);
    } else {
        core_saveimage_png(buf, cap, path.c_str(), src);
    }
    delete_imgbuf(load_image(path.c_str()));
    std::remove(fuzz::narrow(path).c_str());
    delete_imgbuf(src);
    return 0;
}
