// How an image's rows become the bytes of a PNG file's rows: the part of saving
// that any encoder shares, kept apart from libpng so that another encoder can
// call the same row producer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

// Which image channel (0 red, 1 green, 2 blue, 3 alpha) feeds the file's red,
// green, blue and alpha; a grey file takes red's.
struct ChannelMap {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
    uint8_t alpha = 3;
};
inline constexpr ChannelMap kImageRgb{0, 1, 2};

// zlib's default level, which gives the files of every saver before levels
// could be chosen.
inline constexpr uint8_t kDefaultPngLevel = 6;

// The sample layout of a file: 8 or 16 bits, 1 (grey), 3 (RGB) or 4 (RGBA)
// samples a pixel; and how hard the data is compressed (zlib's levels 0 to 9).
struct PngFormat {
    uint8_t bit_depth;
    uint8_t samples;
    ChannelMap channels;
    uint8_t level = kDefaultPngLevel;
};
inline constexpr PngFormat kRgb8{8, 3, kImageRgb};

// Grey, RGB or RGBA at 8 or 16 bits, a level of 0 to 9 and channels 0 to 3;
// anything else no file is written in.
bool png_format_valid(const PngFormat& format) noexcept;

// Bytes of one file row of width pixels.
size_t png_row_size(uint32_t width, const PngFormat& format) noexcept;

// Produces file row y of an image: each chosen channel saturated to 0..1 (NaN
// as 0), as bytes (v * 255 rounded) or big-endian 16-bit words (v * 65535
// rounded). The converter for the format is picked once, so the pixel loop
// holds no test.
class PngRowSource {
  public:
    PngRowSource(const imgbuf* img, const PngFormat& format) noexcept;

    uint32_t width() const noexcept { return img_->width; }
    uint32_t height() const noexcept { return img_->height; }
    // row_bytes holds png_row_size(width(), format) bytes; y < height().
    void operator()(uint32_t y, uint8_t* row_bytes) const noexcept;

  private:
    using Convert = void (*)(const float* src, uint8_t* dst, uint32_t width,
                             ChannelMap channels) noexcept;
    const imgbuf* img_;
    ChannelMap channels_;
    Convert convert_;
};

}  // namespace rk
