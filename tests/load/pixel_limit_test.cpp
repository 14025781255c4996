// Every loader refuses a picture of more than RK_MAX_IMAGE_PIXELS before it
// allocates anything for it. A picture of exactly that many passes the check
// (the readers that test the file's length first then fail for want of data,
// still without allocating).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "byte_file.h"
#include "load/jxr_container.h"
#include "load/le_reader.h"
#include "load_test_support.h"
#include "png_test_io.h"

namespace {

namespace fs = std::filesystem;

// Everything the sink heard while load_image read the bytes from a file.
std::string load_texts(const Bytes& file) {
    const fs::path path = fs::temp_directory_path() / ("rk_limit_" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    SinkRecorder sink;
    imgbuf* img = load_image(path.u16string().c_str());
    fs::remove(path);
    delete_imgbuf(img);
    std::string all;
    for (const std::string& t : sink.texts()) all += t + "|";
    return all + (img ? "loaded" : "");
}

Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

std::string png(uint32_t w, uint32_t h) {
    Bytes ihdr = be32(w);
    append(ihdr, be32(h));
    append(ihdr, {8, 0, 0, 0, 0});
    Bytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const char* type : {"IHDR", "IDAT", "IEND"}) {
        append(f, png_test::make_chunk(type, type[1] == 'H' ? ihdr : Bytes{}));
    }
    return load_texts(f);
}

std::string jpeg(uint32_t w, uint32_t h) {
    Bytes f = read_bytes(RK_TEST_DATA "/corpus/grey.jpg");
    size_t sof = 0;  // the baseline frame header's height, then width
    while (!(f.at(sof) == 0xFF && f.at(sof + 1) == 0xC0)) ++sof;
    sof += 5;
    f.at(sof) = uint8_t(h >> 8), f.at(sof + 1) = uint8_t(h), f.at(sof + 2) = uint8_t(w >> 8);
    f.at(sof + 3) = uint8_t(w);
    return load_texts(f);
}

std::string tga(uint32_t w, uint32_t h) {
    Bytes f = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16(f, w), put16(f, h), put8(f, 24), put8(f, 0);
    return load_texts(f);
}

std::string dds(uint32_t w, uint32_t h) {
    Bytes f;
    for (uint32_t v : {0x20534444u, 124u, 0x1007u, h, w}) put32(f, v);
    f.resize(76, 0);
    for (uint32_t v : {32u, 0x20000u, 0u, 8u, 0xFFu}) put32(f, v);  // 8-bit luminance
    f.resize(128, 0);
    return load_texts(f);
}

// The container check: the entries' width and height rewritten in a real file.
std::string jxr(uint32_t w, uint32_t h) {
    Bytes f = read_bytes(RK_TEST_DATA "/jxr/bgr24_20x18.jxr");
    const uint32_t ifd = rk::load_le32(&f.at(4));
    for (uint32_t i = 0, n = rk::load_le16(&f.at(ifd)); i < n; ++i) {
        uint8_t* e = &f.at(ifd + 2 + 12 * i);
        const uint16_t tag = rk::load_le16(e);
        if (tag == 0xBC80 || tag == 0xBC81) {
            const uint32_t v = tag == 0xBC80 ? w : h;
            for (int k = 0; k < 4; ++k) e[8 + k] = uint8_t(v >> (8 * k));
        }
    }
    rk::MemorySource source(f);
    return rk::check_jxr_container(source).fault == rk::JxrFault::image_size ? "too large" : "";
}

struct LimitCase {
    const char* format;
    std::string (*read)(uint32_t w, uint32_t h);
    uint32_t w, h;
    const char* too_large;  // what the format reports for an oversized picture
};

constexpr uint32_t kOver = 16384;  // kOver * kOver = RK_MAX_IMAGE_PIXELS + 1
constexpr uint32_t kSide = 16383;  // kSide * (kSide + 2) = RK_MAX_IMAGE_PIXELS

TEST(PixelLimit, OverTheLimitIsRefusedAndTheLimitItselfIsNot) {
    static_assert(uint64_t{kOver} * kOver == uint64_t{RK_MAX_IMAGE_PIXELS} + 1);
    static_assert(uint64_t{kSide} * (kSide + 2) == RK_MAX_IMAGE_PIXELS);
    const LimitCase cases[] = {
        {"png", png, kOver, kOver, "load_png(): image too large"},
        {"jpeg", jpeg, kOver, kOver, "Image data too large."},
        {"tga", tga, 65535, 4097, "Image data too large."},
        {"dds", dds, 1, 1u << 28, "Image data too large."},
        {"jxr", jxr, kOver, kOver, "too large"},
    };
    for (const LimitCase& c : cases) {
        EXPECT_NE(c.read(c.w, c.h).find(c.too_large), std::string::npos) << c.format;
        EXPECT_NE(c.read(kOver, kOver).find(c.too_large), std::string::npos) << c.format;
        if (c.read != png && c.read != jpeg) {  // these two would allocate 4 GiB
            EXPECT_EQ(c.read(kSide, kSide + 2).find(c.too_large), std::string::npos) << c.format;
        }
    }
}

}  // namespace
