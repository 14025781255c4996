// The JPEG XR reader. jxrlib's entropy decoder does not check the data it
// decodes, and damaged tile data (which no checksum guards) can make it read and
// write anywhere, so jxrlib never runs in the host: this reader reads the file
// once, checks its container here (which spares a process start for plainly
// broken files), and has the helper reliefkit-jxr-decode decode the same bytes in
// a process of its own (load/jxr_helper_process.h). Only 24-bit BGR is read.
#include <cstdint>
#include <string>

#include "common/checked_size.h"
#include "common/file_io.h"
#include "common/utf16.h"
#include "load/jxr_container.h"
#include "load/readers.h"

#ifdef RK_WITH_JXR
#include "load/jxr_helper_process.h"
#include "load/jxr_reply.h"
#endif

namespace rk {
namespace {

// JPEG XR is known by name: the text from the last dot must begin with .jxr,
// .wdp or .hdp in any case, as jxrlib's own choice of decoder has it.
bool jpeg_xr_name(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot < 4) return false;
    std::string ext = name.substr(dot + 1, 3);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == "jxr" || ext == "wdp" || ext == "hdp";
}

#ifdef RK_WITH_JXR
const char* fault_reason(JxrFault fault) {
    switch (fault) {
        case JxrFault::header:
            return "not a JPEG XR file";
        case JxrFault::directory:
            return "damaged container: bad directory";
        case JxrFault::entry:
            return "damaged container: bad directory entry";
        case JxrFault::tag:
            return "damaged container: a tag of the wrong type, count or value";
        case JxrFault::pixel_format:
            return "the pixel format is not 24-bit BGR";
        case JxrFault::image_data:
            return "damaged container: no image data";
        case JxrFault::alpha_data:
            return "damaged container: bad alpha data";
        case JxrFault::codestream:
            return "damaged container: bad codestream header";
        case JxrFault::image_size:
            return "damaged container: no image size";
        case JxrFault::none:
            break;
    }
    return "damaged container";
}

// The whole file, read once: the container check and the helper see the same
// bytes, whatever happens to the file meanwhile.
bool read_whole(std::u16string_view path, std::unique_ptr<uint8_t[]>& bytes, uint64_t& size) {
    FileHandle file(path);
    size = file.size();
    if (file.failed() || size == UINT64_MAX || size >= kMaxBlockBytes) return false;
    bytes.reset(new uint8_t[size ? size : 1]);
    return file_read_exact(file, bytes.get(), static_cast<uint32_t>(size));
}

ImgbufPtr decode(std::u16string_view path, std::string& reason) {
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size = 0;
    if (!read_whole(path, bytes, size)) {
        reason = "could not read the file";
        return nullptr;
    }
    const std::span<const uint8_t> file(bytes.get(), size);
    MemorySource source(file);
    const JxrContainer container = check_jxr_container(source);
    if (container.fault != JxrFault::none) {
        reason = fault_reason(container.fault);
        return nullptr;
    }
    if (!image_bytes(container.width, container.height)) {
        reason = "the picture is too large";
        return nullptr;
    }
    JxrHelperRun run = run_jxr_helper(file, container.width, container.height);
    bytes.reset();
    if (!run.failure.empty()) {
        reason = run.failure;
        return nullptr;
    }
    const char* why = nullptr;
    ImgbufPtr image = image_from_jxr_reply({run.reply.get(), run.reply_size}, container.width,
                                           container.height, why);
    if (!image) reason = why;
    return image;
}
#endif

}  // namespace

ImgbufPtr load_jxr(std::u16string_view path, std::u16string* message) {
    const auto name = utf16_to_utf8(path);
    if (!name || !jpeg_xr_name(*name)) return nullptr;
#ifdef RK_WITH_JXR
    std::string reason;
    ImgbufPtr image = decode(path, reason);
#else
    ImgbufPtr image;
    const std::string reason = "JPEG XR support is not built into this library";
#endif
    if (!image && message) *message = utf8_to_utf16(reason + ".");
    return image;
}

}  // namespace rk
