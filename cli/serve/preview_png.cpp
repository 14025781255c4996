#include "preview_png.h"

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace rkserve {
namespace {

void append(png_structp png, png_bytep data, png_size_t size) {
    static_cast<std::string*>(png_get_io_ptr(png))
        ->append(reinterpret_cast<const char*>(data), size);
}

void no_flush(png_structp) {}

// rows holds height rows of width * channels bytes. libpng reports errors by
// longjmp, so nothing here owns memory across png_write_* but the caller's
// vectors, which outlive the jump.
std::string encode(const std::vector<uint8_t>& pixels, uint32_t width, uint32_t height,
                   int channels) {
    std::string out;
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) {
        rows[y] = const_cast<png_bytep>(pixels.data()) + size_t{y} * width * channels;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return {};
    }
    png_set_write_fn(png, &out, append, no_flush);
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(png, info, width, height, 8,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// The image's rows as the savers quantise them (imgbuf_convertline_b8g8r8x8
// shares their conversion), `pick` choosing from each B, G, R, X pixel.
template <int Channels, typename Pick>
std::string converted(const imgbuf* map, Pick pick) {
    const uint32_t w = imgbuf_w(map), h = imgbuf_h(map);
    std::vector<uint8_t> bgrx(size_t{w} * 4), pixels(size_t{w} * h * Channels);
    for (uint32_t y = 0; y < h; ++y) {
        imgbuf_convertline_b8g8r8x8(bgrx.data(), map, y);
        uint8_t* out = pixels.data() + size_t{y} * w * Channels;
        for (uint32_t x = 0; x < w; ++x)
            pick(bgrx.data() + size_t{x} * 4, out + size_t{x} * Channels);
    }
    return encode(pixels, w, h, Channels);
}

}  // namespace

std::string fast_grey_png(const imgbuf* map) {
    return converted<1>(map, [](const uint8_t* bgrx, uint8_t* out) { out[0] = bgrx[2]; });
}

std::string fast_rgb_png(const imgbuf* map, const rkcli::ChannelOrder& order) {
    // Channel c (0 red, 1 green, anything else blue) sits at 2 - c in B, G, R, X.
    const auto at = [](int32_t c) { return c == 0 ? 2 : c == 1 ? 1 : 0; };
    const int r = at(order.red), g = at(order.green), b = at(order.blue);
    return converted<3>(map, [=](const uint8_t* bgrx, uint8_t* out) {
        out[0] = bgrx[r];
        out[1] = bgrx[g];
        out[2] = bgrx[b];
    });
}

}  // namespace rkserve
