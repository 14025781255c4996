// The PNG writer behind the savers: an image as an 8- or 16-bit grey or RGB PNG.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reliefkit.h"
#include "save/png_rows.h"

namespace rk {

// Writes img to path in the format's layout and depth (rows as PngRowSource
// makes them), alpha dropped. Returns an empty message on success, otherwise
// why the file was not saved; the target is only ever replaced by a complete
// file. May throw std::bad_alloc before anything is written.
std::u16string write_png(const imgbuf* img, std::u16string_view path, const PngFormat& format);

}  // namespace rk
