// The loader front: tries the readers in a fixed order on one byte source and
// returns the first image one of them makes. Only the readers' own answers
// decide whether the next one is tried; the one exception is JPEG XR, which
// load_image offers a file only by its name and the rk_ loads offer any data by
// its content.
#include <cstring>
#include <string>
#include <string_view>

#include "common/export_boundary.h"
#include "common/file_io.h"
#include "common/rk_call.h"
#include "common/sink.h"
#include "common/thread_pool.h"
#include "common/utf16.h"
#include "load/readers.h"
#include "reliefkit.h"

namespace rk {
namespace {

// Prefix and reason go to the sink as two texts, with no line break added.
void report(std::u16string_view prefix, std::u16string_view message) noexcept {
    debug_output(prefix);
    debug_output(message);
}

// The image, or null with status telling why: the status of the first reader
// that took the data for its own, RK_ERROR_FORMAT when none did, RK_ERROR_IO
// when the system refused a read.
// load_image offers JPEG XR by name and finishes a cut JPEG; the rk_ loads
// offer JPEG XR by content and refuse a cut JPEG.
ImgbufPtr load_from(ByteSource& source, JxrChoice jxr, bool offer_jxr, JpegCut cut,
                    rk_status& status) {
    status = RK_ERROR_FORMAT;
    rk_status reader = RK_OK;
    const auto decided = [&]() -> ImgbufPtr {
        if (status == RK_ERROR_FORMAT) status = reader;
        if (source.read_failed()) status = RK_ERROR_IO;
        return nullptr;
    };

    // PNG and JPEG stop the dispatch unless they found the data is not theirs: a
    // PNG or JPEG that fails ends here.
    if (auto image = read_png(source, reader)) return image;
    if (reader != RK_ERROR_FORMAT) return decided();
    if (auto image = read_jpeg(source, reader, cut)) return image;
    if (reader != RK_ERROR_FORMAT) return decided();

    std::u16string message;
    if (offer_jxr) {
        if (auto image = read_jxr(source, jxr, message, reader)) return image;
        decided();
        if (!message.empty()) report(u"JPEG XR image loader: ", message);
        message.clear();
    }

    if (auto image = read_dds(source, message, reader)) return image;
    decided();
    report(u"DDS image loader: ", message);
    message.clear();

    if (auto image = read_tga(source, message, reader)) return image;
    report(u"TGA image loader: ", message);
    return decided();
}

ImgbufPtr load_by_name(std::u16string_view caller_path) {
    const std::u16string path(caller_path);
    if (path.empty()) return nullptr;
    // A file that cannot be opened ends the load silently (the reason for a
    // path that is no regular file has been reported), as its PNG reading would.
    FileHandle file(path);
    if (file.failed()) return nullptr;
    FileSource source(file);
    rk_status status = RK_OK;
    return load_from(source, JxrChoice::by_name, jpeg_xr_name(path), JpegCut::finish, status);
}

rk_status load_by_content(ByteSource& source, imgbuf** out) {
    // Said as it is: the readers would each report a header they could not
    // find, the JPEG reader the end marker its library makes up.
    if (source.size() == 0) fail(RK_ERROR_FORMAT, "the data is empty (0 bytes)");
    rk_status status = RK_OK;
    ImgbufPtr image = load_from(source, JxrChoice::by_content, true, JpegCut::refuse, status);
    if (!image) return status;
    *out = image.release();
    return RK_OK;
}

}  // namespace
}  // namespace rk

using namespace rk;

extern "C" {

RK_API imgbuf* load_image(const char16_t* path) noexcept {
    // A null path reads as an empty one: nothing to load.
    const LibraryCall busy;
    return guarded(static_cast<imgbuf*>(nullptr), [&] { return load_by_name(u16_view(path)).release(); });
}

RK_API rk_status rk_load_file(const char* utf8_path, imgbuf** out) noexcept {
    return rk_call("rk_load_file", [&] {
        require(utf8_path, "utf8_path");
        require(out, "out");
        if (!*utf8_path) fail(RK_ERROR_ARGUMENT, "utf8_path is empty");
        const std::string path(utf8_path);
        FileHandle file(path);
        if (file.failed() && file.open_error()) {
            fail(RK_ERROR_IO, path + ": " + strerrordesc_np(file.open_error()));
        }
        if (const char* kind = file.not_regular()) {
            fail(RK_ERROR_IO, path + ": not a regular file (" + kind + ")");
        }
        if (file.failed()) return RK_ERROR_IO;  // nothing more is known
        FileSource source(file);
        return load_by_content(source, out);
    });
}

RK_API rk_status rk_load_memory(const void* data, size_t size, imgbuf** out) noexcept {
    return rk_call("rk_load_memory", [&] {
        require(data, "data");
        require(out, "out");
        MemorySource source({static_cast<const uint8_t*>(data), size});
        return load_by_content(source, out);
    });
}

}  // extern "C"
