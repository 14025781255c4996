// Every loader refuses a picture of more than RK_MAX_IMAGE_PIXELS before it
// allocates anything for it: the corpus files with their stated size rewritten.
#include <gtest/gtest.h>

#include "load/jxr_container.h"
#include "load_test_support.h"
#include "png_test_io.h"

namespace {

struct LimitCase {
    const char* file;
    uint32_t width_at, height_at, bytes;  // where the stated size lies, and its width
    bool big_endian;
    bool length_checked_first;  // a picture within the limit then fails without allocating
    const char* too_large;      // the reason the sink hears; null: the JPEG XR container check
};

// Whether the file, stating a w x h picture, is refused for its size.
bool refused(const LimitCase& c, uint32_t w, uint32_t h) {
    Bytes f = read_bytes(std::string(RK_TEST_DATA "/") + c.file);
    for (auto [at, v] : {std::pair{c.width_at, w}, std::pair{c.height_at, h}}) {
        for (uint32_t i = 0; i < c.bytes; ++i)
            f.at(at + i) = uint8_t(v >> 8 * (c.big_endian ? c.bytes - 1 - i : i));
    }
    if (f.at(1) == 'P') {  // the header's checksum follows its data
        const Bytes ihdr = png_test::make_chunk("IHDR", Bytes(f.begin() + 16, f.begin() + 29));
        std::copy(ihdr.begin(), ihdr.end(), f.begin() + 8);
    }
    if (!c.too_large) {
        rk::MemorySource source(f);
        return rk::check_jxr_container(source).fault == rk::JxrFault::image_size;
    }
    SinkRecorder sink;
    delete_imgbuf(load_image(widen(write_temp("limit", f)).c_str()));
    const Texts texts = sink.texts();
    return std::find(texts.begin(), texts.end(), c.too_large) != texts.end();
}

TEST(PixelLimit, EveryLoaderRefusesMoreThanTheLimit) {
    constexpr uint32_t kSide = 16383;  // kSide * (kSide + 2) pixels: the limit itself
    static_assert(uint64_t{kSide} * (kSide + 2) == RK_MAX_IMAGE_PIXELS);
    const LimitCase cases[] = {
        {"corpus/grey8.png", 16, 20, 4, true, false, "load_png(): image too large"},
        {"corpus/grey.jpg", 96, 94, 2, true, false, "Image data too large."},
        {"corpus/rgb.tga", 12, 14, 2, false, true, "Image data too large."},
        {"corpus/dxt1.dds", 16, 12, 4, false, true, "Image data too large."},
        {"jxr/bgr24_20x18.jxr", 66, 78, 4, false, true, nullptr},
    };
    for (const LimitCase& c : cases) {
        EXPECT_TRUE(refused(c, kSide + 1, kSide + 1)) << c.file;
        EXPECT_TRUE(refused(c, kSide + 2, kSide + 1)) << c.file;
        if (!c.length_checked_first) continue;
        EXPECT_FALSE(refused(c, kSide, kSide + 2)) << c.file;
    }
}

}  // namespace
