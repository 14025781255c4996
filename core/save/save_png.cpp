// The PNG exports: an image as it is, a normal map with its channels chosen
// freely, and either at 8 or 16 bits as grey or RGB.
#include <algorithm>
#include <string>
#include <string_view>

#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "common/utf16.h"
#include "reliefkit.h"
#include "save/png_writer.h"

namespace rk {
namespace {

constexpr std::u16string_view kOutOfMemory = u"Not enough memory.";
static_assert(kOutOfMemory.size() < RK_MIN_MESSAGE_CAPACITY);

// Copies message and its terminator into the host's buffer, cut short to fit;
// without a buffer there is nowhere to report.
void copy_message(char16_t* msg, int32_t capacity, std::u16string_view message) noexcept {
    if (!msg || capacity < 1) return;
    const size_t n = std::min(message.size(), static_cast<size_t>(capacity) - 1);
    std::copy_n(message.data(), n, msg);
    msg[n] = u'\0';
}

// 0 red, 1 green, anything else blue: alpha can never be chosen.
uint8_t channel_of(int32_t selector) noexcept {
    return selector == 0 ? 0 : selector == 1 ? 1 : 2;
}

void save_png(char16_t* msg, int32_t capacity, const char16_t* path, const imgbuf* img,
              const PngFormat& format) noexcept {
    const LibraryCall busy;
    std::u16string message;
    const bool finished = guarded(false, [&] {
        message = write_png(img, u16_view(path), format);
        return true;
    });
    copy_message(msg, capacity, finished ? std::u16string_view(message) : kOutOfMemory);
}

}  // namespace
}  // namespace rk

extern "C" {

RK_API void core_saveimage_png(char16_t* msg, int32_t capacity, const char16_t* path,
                               const imgbuf* img) noexcept {
    rk::save_png(msg, capacity, path, img, rk::kRgb8);
}

// The channels are picked while each row is converted, so no rearranged copy of
// the whole image is ever made.
RK_API void core_saveimage_nmap_png(char16_t* msg, int32_t capacity, const char16_t* path,
                                    const imgbuf* img, int32_t r, int32_t g, int32_t b) noexcept {
    rk::save_png(msg, capacity, path, img,
                 {8, 3, {rk::channel_of(r), rk::channel_of(g), rk::channel_of(b)}});
}

// A depth or layout outside the two of each gives a message, never a file.
RK_API void save_png_ex(char16_t* msg, int32_t capacity, const char16_t* path, const imgbuf* img,
                        uint32_t bit_depth, uint32_t layout, int32_t r, int32_t g,
                        int32_t b) noexcept {
    const bool known =
        (bit_depth == 8 || bit_depth == 16) && (layout == RK_PNG_GREY || layout == RK_PNG_RGB);
    const rk::PngFormat format{static_cast<uint8_t>(known ? bit_depth : 0),
                               static_cast<uint8_t>(layout == RK_PNG_GREY ? 1 : 3),
                               {rk::channel_of(r), rk::channel_of(g), rk::channel_of(b)}};
    rk::save_png(msg, capacity, path, img, format);
}

}  // extern "C"
