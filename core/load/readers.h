// The format readers that the loader front (load_image.cpp) tries in order.
// Each reads its own way through the bytes of one source (a file or memory)
// and returns a new image or null, with a status that says what became of the
// data:
// - RK_ERROR_FORMAT: not the reader's format, so the next reader may try;
// - any other error: the reader's format, but it could not be decoded (PNG and
//   JPEG end the dispatch then), or the bytes could not be read.
//
// - PNG and JPEG send their reasons to the diagnostics channel themselves.
// - DDS and TGA write why they failed into message; so does JPEG XR (and may
//   give no message).
//
// Readers release everything they took on every path. They may throw
// std::bad_alloc from C++ frames (never through a codec's frames); the front
// turns that into a failure.
//
// The load_X(path, ...) forms open the file themselves and keep the interface
// of the readers before byte sources (the reader tests use them).
#pragma once

#include <string>
#include <string_view>

#include "common/byte_source.h"
#include "common/file_io.h"
#include "imgbuf/imgbuf.h"

namespace rk {

ImgbufPtr read_png(ByteSource& source, rk_status& status);
// A JPEG whose data ends inside its picture (at the data's end, or at any
// marker but a restart marker inside a scan): finished as libjpeg finishes it,
// the missing blocks grey, with a warning (load_image), or refused as damaged
// (the rk_ loads, which promise that a cut file is an error). A file that
// lacks only its end marker loads either way.
enum class JpegCut { finish, refuse };
ImgbufPtr read_jpeg(ByteSource& source, rk_status& status, JpegCut cut);
ImgbufPtr read_dds(ByteSource& source, std::u16string& message, rk_status& status);
ImgbufPtr read_tga(ByteSource& source, std::u16string& message, rk_status& status);

// JPEG XR, which the front offers a file by its name (load_image) or any data
// by its content (rk_load_file, rk_load_memory): with by_content, data that
// does not start as JPEG XR does is left silently as not the reader's.
enum class JxrChoice { by_name, by_content };
ImgbufPtr read_jxr(ByteSource& source, JxrChoice choice, std::u16string& message,
                   rk_status& status);
// Whether a file name makes a file JPEG XR for load_image: .jxr, .wdp or .hdp.
bool jpeg_xr_name(std::u16string_view path);

// Opens path and runs read(source) on the file; null when it cannot be opened.
template <class F>
ImgbufPtr read_from_path(std::u16string_view path, F&& read) {
    FileHandle file(path);
    if (file.failed()) return nullptr;
    FileSource source(file);
    return read(source);
}

ImgbufPtr load_png(std::u16string_view path, bool& not_my_format);
ImgbufPtr load_jpeg(std::u16string_view path, bool& not_my_format);
ImgbufPtr load_jxr(std::u16string_view path, std::u16string* message = nullptr);
ImgbufPtr load_dds(std::u16string_view path, std::u16string& message);
ImgbufPtr load_tga(std::u16string_view path, std::u16string& message);

}  // namespace rk
