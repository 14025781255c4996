// The format readers that load_image tries in order. Each opens the file itself
// and returns a new image or null.
//
// - PNG and JPEG set not_my_format exactly when they could read the file and it is
//   not in their format; they leave it false when the file could not be opened or
//   is theirs but could not be decoded (which ends the dispatch).
// - DDS and TGA write why they failed into message; so does JPEG XR, for a file
//   whose name makes it JPEG XR (and may give no message).
//
// Readers release everything they took on every path. They may throw
// std::bad_alloc from C++ frames (never through a codec's frames); load_image
// turns that into a null result.
#pragma once

#include <string>
#include <string_view>

#include "imgbuf/imgbuf.h"

namespace rk {

ImgbufPtr load_png(std::u16string_view path, bool& not_my_format);
ImgbufPtr load_jpeg(std::u16string_view path, bool& not_my_format);
ImgbufPtr load_jxr(std::u16string_view path, std::u16string* message = nullptr);
ImgbufPtr load_dds(std::u16string_view path, std::u16string& message);
ImgbufPtr load_tga(std::u16string_view path, std::u16string& message);

}  // namespace rk
