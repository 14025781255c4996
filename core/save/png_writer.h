// The PNG writer behind both savers: an image as an 8-bit RGB PNG.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reliefkit.h"

namespace rk {

// Which image channel (0 red, 1 green, 2 blue) feeds the file's red, green and blue.
struct ChannelMap {
    uint8_t red;
    uint8_t green;
    uint8_t blue;
};
inline constexpr ChannelMap kImageRgb{0, 1, 2};

// Writes img to path as an 8-bit RGB PNG, alpha dropped, values saturated to
// 0..255. Returns an empty message on success, otherwise why the file was not
// saved; the target is only ever replaced by a complete file. May throw
// std::bad_alloc before anything is written.
std::u16string write_png_rgb8(const imgbuf* img, std::u16string_view path,
                              ChannelMap channels = kImageRgb);

}  // namespace rk
