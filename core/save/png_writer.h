// The PNG writer behind the savers: an image as an 8- or 16-bit grey, RGB or
// RGBA PNG, to a file or any other byte sink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reliefkit.h"
#include "save/byte_sink.h"
#include "save/png_rows.h"

namespace rk {

// How a save ended: RK_OK with an empty message, or the status and the reason
// the savers of reliefkit.h report.
struct PngWriteOutcome {
    rk_status status;
    std::u16string message;
};

// Encodes img in the format's layout, depth and level (rows as PngRowSource
// makes them) into out. May throw std::bad_alloc.
PngWriteOutcome encode_png(const imgbuf* img, ByteSink& out, const PngFormat& format);

// Writes the same bytes to the file at target (UTF-8), which is only ever
// replaced by a complete file.
PngWriteOutcome write_png_file(const imgbuf* img, const std::string& target,
                               const PngFormat& format);

// write_png_file with a UTF-16 path, answering only the message: empty on
// success, otherwise why the file was not saved.
std::u16string write_png(const imgbuf* img, std::u16string_view path, const PngFormat& format);

}  // namespace rk
