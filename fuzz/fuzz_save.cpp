// The PNG encoder behind every saver, into memory: rk_save_png_write with
// params from the input (valid or not, from a struct of any known size), on an
// owned image or one wrapped with wider rows than its width, now and then with
// a write callback that stops after some blocks. A finished PNG is read back
// by rk_load_memory and each of its samples must be the image channel the
// params chose, quantised. reliefkit.h's savers run for their message into a
// buffer of the input's size: core_saveimage_nmap_png without a path, and so
// save_png_ex but for one input in four, which gives it a path: its file is
// read back by rk_load_file and checked as above, and rk_save_png_file must
// write the same bytes as the write did (or, failing, leave no file).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace {

struct Output {
    std::vector<uint8_t> bytes;
    uint32_t blocks_left;  // the callback stops the save when this reaches 0
    bool stopped = false;
};

int take(void* user, const void* data, size_t size) {
    auto* out = static_cast<Output*>(user);
    if (out->stopped || size == 0) std::abort();  // never called again, never empty
    if (out->blocks_left-- == 0) {
        out->stopped = true;
        return 1;
    }
    out->bytes.insert(out->bytes.end(), static_cast<const uint8_t*>(data),
                      static_cast<const uint8_t*>(data) + size);
    return 0;
}

// The same pixels in a record over rows of 16 * (w + extra) bytes, or null.
imgbuf* wrapped_copy(const imgbuf* src, uint32_t extra, std::vector<float>& pixels) {
    const uint32_t w = imgbuf_w(src), h = imgbuf_h(src), stride = (w + extra) * 4;
    // operator new's blocks are 16-byte aligned, as rk_image_wrap needs.
    static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 16);
    pixels.assign(static_cast<size_t>(stride) * h, 0.0f);
    float* base = pixels.data();
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(base + size_t{y} * stride, imgbuf_row(src, y), w * 16);
    imgbuf* img = nullptr;
    return rk_image_wrap(base, w, h, size_t{stride} * 4, &img) == RK_OK ? img : nullptr;
}

// Each file sample (quantised again from the float it loaded as) against the
// chosen channel of the source, saturated and scaled.
void check_samples(const imgbuf* src, const rk_png_params& p, const imgbuf* png) {
    if (rk_image_width(png) != imgbuf_w(src) || rk_image_height(png) != imgbuf_h(src)) std::abort();
    const double top = p.bit_depth == 8 ? 255.0 : 65535.0;
    const uint32_t samples = p.layout == RK_PNG_GREY ? 1 : p.layout;
    for (uint32_t y = 0; y < imgbuf_h(src); ++y) {
        const float* in = imgbuf_row(src, y);
        const float* back = imgbuf_row(png, y);
        for (uint32_t x = 0; x < imgbuf_w(src); ++x) {
            for (uint32_t k = 0; k < samples; ++k) {
                const float v = in[4 * x + p.channels[k]];
                const double want = (v > 0.0f ? std::min(double{v}, 1.0) : 0.0) * top;
                if (std::fabs(std::round(back[4 * x + k] * top) - want) > 0.51) std::abort();
            }
        }
    }
}

// rk_save_png_file with the params the write was given: the same status (but
// for a write that was stopped) and the same bytes, or no file when it fails.
void check_png_file(const imgbuf* src, const rk_png_params& p, rk_status written,
                    const Output& out) {
    const std::string path = fuzz::fresh_file(".png");
    const rk_status saved = rk_save_png_file(path.c_str(), src, &p);
    std::vector<uint8_t> bytes;
    const bool exists = fuzz::read_file(path, bytes);
    const bool alike = written == RK_ERROR_ABORTED ? saved == RK_OK : saved == written;
    if (!alike || exists != (saved == RK_OK) || (written == RK_OK && bytes != out.bytes)) {
        std::abort();
    }
}

// save_png_ex to a file: a depth and layout it writes give a file of the image's
// red (grey), or red, green and blue, quantised; others no file.
void check_png_ex_file(char16_t* msg, int32_t capacity, const imgbuf* src, rk_png_params p) {
    const std::string path = fuzz::fresh_file("_ex.png");
    save_png_ex(msg, capacity, std::u16string(path.begin(), path.end()).c_str(), src, p.bit_depth,
                p.layout, 0, 1, 2);
    const bool writes = (p.bit_depth == 8 || p.bit_depth == 16) &&
                        (p.layout == RK_PNG_GREY || p.layout == RK_PNG_RGB) && imgbuf_w(src) > 0 &&
                        imgbuf_h(src) > 0;
    imgbuf* png = nullptr;
    if ((rk_load_file(path.c_str(), &png) == RK_OK) != writes) std::abort();
    for (uint32_t k = 0; k < 3; ++k) p.channels[k] = k;
    if (png) check_samples(src, p, png);
    rk_image_free(png);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t choice = in.byte();
    rk_png_params p;
    rk_png_params_init(&p, sizeof p);
    // Mostly valid values, now and then any.
    const auto pick = [&](uint32_t valid) {
        const uint8_t b = in.byte();
        return b < 240 ? valid : b;
    };
    p.bit_depth = pick(in.byte() & 1 ? 16 : 8);
    p.layout = pick(in.byte() % 3 == 0 ? RK_PNG_GREY : in.byte() & 1 ? RK_PNG_RGB : RK_PNG_RGBA);
    for (uint32_t& c : p.channels) c = pick(in.byte() % 4);
    p.compression_level = pick(in.byte() % 10);
    // An older caller's struct: the fields it does not know take their defaults.
    const uint32_t struct_size = choice & 1 ? 4 * (1 + in.byte() % 8) : sizeof p;
    rk_png_params used;
    rk_png_params_init(&used, sizeof used);
    std::memcpy(&used, &p, std::min<size_t>(struct_size, sizeof p));
    p.struct_size = used.struct_size = struct_size;
    const int32_t capacity = static_cast<int8_t>(in.byte());
    const uint32_t extra = in.byte() % 3;
    // A saved file costs two encodes and a flush to disk more: one input in
    // four writes files, so that the search keeps its pace.
    const bool to_files = in.byte() < 64;
    Output out{{}, choice & 2 ? in.byte() % 4 : UINT32_MAX};
    imgbuf* owned = in.image();
    if (!owned) return 0;
    std::vector<float> pixels;
    imgbuf* wrapped = extra ? wrapped_copy(owned, extra, pixels) : nullptr;
    const imgbuf* src = wrapped ? wrapped : owned;

    const rk_status status = rk_save_png_write(src, &p, take, &out);
    const bool valid =
        (used.bit_depth == 8 || used.bit_depth == 16) &&
        (used.layout == RK_PNG_GREY || used.layout == RK_PNG_RGB || used.layout == RK_PNG_RGBA) &&
        std::all_of(used.channels, used.channels + 4, [](uint32_t c) { return c < 4; }) &&
        used.compression_level <= 9 && imgbuf_w(src) > 0 && imgbuf_h(src) > 0;
    const rk_status want = !valid ? RK_ERROR_ARGUMENT : out.stopped ? RK_ERROR_ABORTED : RK_OK;
    if (status != want || (status == RK_OK) != (*rk_last_error() == '\0')) std::abort();
    if (status == RK_OK) {
        imgbuf* png = nullptr;
        if (rk_load_memory(out.bytes.data(), out.bytes.size(), &png) != RK_OK) std::abort();
        check_samples(src, used, png);
        rk_image_free(png);
    }
    if (to_files) check_png_file(src, p, status, out);

    char16_t msg[130];
    char16_t* buf = capacity == 0 ? nullptr : msg;
    const int32_t cap = capacity > 0 ? capacity : 0;
    core_saveimage_nmap_png(buf, cap, u"", src, choice >> 2 & 3, choice >> 4 & 3, choice >> 6);
    if (to_files) {
        check_png_ex_file(buf, cap, src, used);
    } else {
        save_png_ex(buf, cap, u"", src, used.bit_depth, used.layout, 0, 1, 2);
    }
    rk_image_free(wrapped);
    delete_imgbuf(owned);
    return 0;
}
