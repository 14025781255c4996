// Decodes parameters and a small image from fuzzer bytes, for the fuzz targets.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "reliefkit.h"

namespace fuzz {

// Whether an image's pixels stay within the fuzz builds' cap on one block
// (RK_FUZZ_MAX_BLOCK_MB): a loader must never return a larger one.
inline bool within_block_cap(const imgbuf* img) {
    return uint64_t{imgbuf_w(img)} * imgbuf_h(img) * 16 <= uint64_t{RK_FUZZ_MAX_BLOCK_MB} << 20;
}

// Every pixel, bit for bit; also touches every pixel, so that a block smaller
// than its rows shows up. A zero-width image may have any height.
inline bool same_pixels(const imgbuf* a, const imgbuf* b) {
    if (imgbuf_w(a) != imgbuf_w(b) || imgbuf_h(a) != imgbuf_h(b)) return false;
    for (uint32_t y = 0; imgbuf_w(a) > 0 && y < imgbuf_h(a); ++y) {
        if (std::memcmp(imgbuf_row(a, y), imgbuf_row(b, y), imgbuf_w(a) * 4 * sizeof(float))) {
            return false;
        }
    }
    return true;
}

// A copy of img, or null when memory runs out.
inline imgbuf* copy_of(const imgbuf* img) {
    imgbuf* copy = create_imgbuf(imgbuf_w(img), imgbuf_h(img));
    for (uint32_t y = 0; copy && imgbuf_w(img) > 0 && y < imgbuf_h(img); ++y) {
        std::memcpy(imgbuf_row(copy, y), imgbuf_row(img, y), imgbuf_w(img) * 4 * sizeof(float));
    }
    return copy;
}

// Calls make() (a new image, or null) with `threads` threads, then with one (two
// when threads is 1), and aborts unless both give the same bits or both null:
// no result may depend on the thread count, although the rows are cut into as
// many bands as there are threads. Returns the first result. A threads of 0
// calls make() once, under the count in force, for a target that cannot
// afford a second call on every input.
template <class Make>
imgbuf* made_alike_by_thread_counts(uint32_t threads, Make make) {
    if (threads == 0) return make();
    rk_set_thread_count(threads);
    imgbuf* made = make();
    rk_set_thread_count(threads == 1 ? 2 : 1);
    imgbuf* again = make();
    if ((made != nullptr) != (again != nullptr) || (made && !same_pixels(made, again))) {
        std::abort();
    }
    rk_image_free(again);
    return made;
}

// A file of this process's own in the temporary folder (scripts/fuzz gives each
// run a folder of its own), for the savers and loaders that take a path. It is
// removed first, so that whatever is found there is what the last save left.
inline std::string fresh_file(const char* suffix) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("rk_fuzz_" + std::to_string(getpid()) + suffix);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return path.string();
}

// The file's bytes, and whether it exists.
inline bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return file.is_open();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    float f32() {
        uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    // A float from a small table of interesting values or raw bits.
    float param() {
        static constexpr float kTable[] = {0.0f,          0.5f,        1.0f,       -1.0f, 0.0001f,
                                           1.1920929e-7f, 0.49999988f, 0.5000001f, 2.0f,  1e30f};
        const uint8_t sel = byte();
        if (sel < 200) return kTable[sel % (sizeof kTable / sizeof kTable[0])];
        return f32();
    }

    // A kernel size: mostly up to 111, now and then around the caches' end (254).
    uint32_t kernel_size() {
        const uint8_t sel = byte();
        return sel < 224 ? sel % 112 : 240 + (sel - 224) * 2u;
    }

    // An image of at most 48 x 48 whose pixels come from the remaining bytes as
    // values in 0..1 (with a few raw floats, NaN and infinities included).
    imgbuf* image() {
        const uint32_t w = byte() % 49;
        const uint32_t h = byte() % 49;
        imgbuf* img = create_imgbuf(w, h);
        if (!img) return nullptr;
        for (uint32_t y = 0; y < h; ++y) {
            float* row = imgbuf_row(img, y);
            for (uint32_t i = 0; i < w * 4; ++i) {
                const uint8_t b = byte();
                row[i] = b == 255 ? f32() : b / 254.0f;
            }
        }
        return img;
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace fuzz
