// rk_codec_floor: the least any program doing the command's work must spend, on
// one thread and without the library: libjpeg-turbo decodes the photograph, and
// libpng at level 6 (its default filters) writes the two files the command
// writes, an 8-bit grey and an 8-bit RGB PNG. Their pixels are read (untimed)
// from the command's own outputs, so both sides deflate the same content.
//
//   rk_codec_floor PHOTO.jpg HEIGHT.png NORMAL.png OUT_DIR
//
// Prints "wall S cpu S" (seconds) of the timed part on one line.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

namespace {

struct File {
    std::FILE* f;
    File(const std::string& path, const char* mode) : f(std::fopen(path.c_str(), mode)) {
        if (!f) throw std::runtime_error("cannot open " + path);
    }
    ~File() { std::fclose(f); }
};

struct Picture {
    uint32_t width = 0, height = 0, channels = 0;
    std::vector<unsigned char> bytes;
};

[[noreturn]] void png_failed(png_structp, png_const_charp message) {
    throw std::runtime_error(message);
}

// Reads an 8-bit grey or RGB PNG as it is stored.
Picture read_png(const std::string& path) {
    File file(path, "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, nullptr);
    png_infop info = png_create_info_struct(png);
    Picture p;
    try {
        png_init_io(png, file.f);
        png_read_info(png, info);
        p.width = png_get_image_width(png, info);
        p.height = png_get_image_height(png, info);
        p.channels = png_get_channels(png, info);
        if (png_get_bit_depth(png, info) != 8) throw std::runtime_error(path + " is not 8-bit");
        p.bytes.resize(size_t{p.width} * p.height * p.channels);
        for (uint32_t y = 0; y < p.height; ++y)
            png_read_row(png, p.bytes.data() + size_t{y} * p.width * p.channels, nullptr);
    } catch (...) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return p;
}

void write_png(const std::string& path, const Picture& p) {
    File file(path, "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, nullptr);
    png_infop info = png_create_info_struct(png);
    try {
        png_init_io(png, file.f);
        png_set_compression_level(png, 6);
        png_set_IHDR(png, info, p.width, p.height, 8,
                     p.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (uint32_t y = 0; y < p.height; ++y)
            png_write_row(png, p.bytes.data() + size_t{y} * p.width * p.channels);
        png_write_end(png, info);
    } catch (...) {
        png_destroy_write_struct(&png, &info);
        throw;
    }
    png_destroy_write_struct(&png, &info);
}

Picture decode_jpeg(const std::string& path) {
    File file(path, "rb");
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file.f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    Picture p{cinfo.output_width, cinfo.output_height, 3, {}};
    p.bytes.resize(size_t{p.width} * p.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = p.bytes.data() + size_t{cinfo.output_scanline} * p.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return p;
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc != 5) {
        std::fprintf(stderr, "usage: rk_codec_floor PHOTO.jpg HEIGHT.png NORMAL.png OUT_DIR\n");
        return 2;
    }
    const Picture height = read_png(argv[2]), normal = read_png(argv[3]);
    const std::string out = argv[4];
    const double c0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    const Picture photo = decode_jpeg(argv[1]);
    write_png(out + "/floor_height.png", height);
    write_png(out + "/floor_normal.png", normal);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - t0;
    std::printf("wall %.4f cpu %.4f pixels %u\n", wall.count(), cpu_seconds() - c0,
                photo.width * photo.height);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "rk_codec_floor: %s\n", e.what());
    return 1;
}
