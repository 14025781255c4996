// The PNG exports: an image as it is, a normal map with its channels chosen
// freely, either at 8 or 16 bits as grey or RGB, and the rk_ savers (RGBA and
// a compression level too) to a file or a write callback.
#include <algorithm>
#include <string>
#include <string_view>

#include "common/export_boundary.h"
#include "common/rk_call.h"
#include "common/rk_params.h"
#include "common/thread_pool.h"
#include "common/utf16.h"
#include "imgbuf/imgbuf.h"
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

constexpr rk_png_params kPngDefaults{sizeof(rk_png_params), 8, RK_PNG_RGB, {0, 1, 2, 3}, 6};

// The format the params ask for, or the Failure that says which field is wrong.
PngFormat png_format_of(const rk_png_params* given) {
    const rk_png_params p = params_or_defaults(given, kPngDefaults, "rk_png_params");
    if (p.bit_depth != 8 && p.bit_depth != 16) {
        fail(RK_ERROR_ARGUMENT, "bit_depth " + decimal_text(p.bit_depth) + " is not 8 or 16");
    }
    if (p.layout != RK_PNG_GREY && p.layout != RK_PNG_RGB && p.layout != RK_PNG_RGBA) {
        fail(RK_ERROR_ARGUMENT, "layout " + decimal_text(p.layout) +
                                    " is not RK_PNG_GREY, RK_PNG_RGB or RK_PNG_RGBA");
    }
    for (uint32_t c : p.channels) {
        if (c > 3) fail(RK_ERROR_ARGUMENT, "channel " + decimal_text(c) + " is not 0 to 3");
    }
    if (p.compression_level > 9) {
        fail(RK_ERROR_ARGUMENT,
             "compression_level " + decimal_text(p.compression_level) + " is not 0 to 9");
    }
    const auto u8 = [](uint32_t v) { return static_cast<uint8_t>(v); };
    return {u8(p.bit_depth), u8(p.layout),
            {u8(p.channels[0]), u8(p.channels[1]), u8(p.channels[2]), u8(p.channels[3])},
            u8(p.compression_level)};
}

void check_saved_image(const imgbuf* img) {
    check_source(img, "image");
    if (img->width == 0 || img->height == 0) {
        fail(RK_ERROR_ARGUMENT, "the image has no pixels (" + decimal_text(img->width) + " x " +
                                    decimal_text(img->height) + "); PNG needs at least 1 x 1");
    }
}

rk_status outcome_status(const PngWriteOutcome& outcome, std::string_view where) {
    if (outcome.status == RK_OK) return RK_OK;
    fail(outcome.status, std::string(where) + utf16_to_utf8(outcome.message).value_or(""));
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

RK_API rk_status rk_png_params_init(rk_png_params* params, size_t struct_size) noexcept {
    return rk::rk_call("rk_png_params_init", [&] {
        return rk::init_params(params, struct_size, rk::kPngDefaults, "rk_png_params");
    });
}

RK_API rk_status rk_save_png_file(const char* utf8_path, const imgbuf* image,
                                  const rk_png_params* params) noexcept {
    return rk::rk_call("rk_save_png_file", [&] {
        rk::require(utf8_path, "utf8_path");
        rk::check_saved_image(image);
        const rk::PngFormat format = rk::png_format_of(params);
        if (!*utf8_path) rk::fail(RK_ERROR_ARGUMENT, "utf8_path is empty");
        const std::string path(utf8_path);
        return rk::outcome_status(rk::write_png_file(image, path, format), path + ": ");
    });
}

RK_API rk_status rk_save_png_write(const imgbuf* image, const rk_png_params* params,
                                   rk_write_fn write, void* user) noexcept {
    return rk::rk_call("rk_save_png_write", [&] {
        rk::check_saved_image(image);
        const rk::PngFormat format = rk::png_format_of(params);
        if (!write) rk::fail(RK_ERROR_ARGUMENT, "write is null");
        rk::CallbackSink sink(write, user);
        const rk::PngWriteOutcome outcome = rk::encode_png(image, sink, format);
        if (outcome.status == RK_OK && sink.finish()) return RK_OK;
        if (sink.aborted()) rk::fail(RK_ERROR_ABORTED, "the write callback returned non-zero");
        return rk::outcome_status(outcome, "");
    });
}

}  // extern "C"
