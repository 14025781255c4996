// The JPEG XR reader. jxrlib's entropy decoder does not check the data it
// decodes, and damaged tile data (which no checksum guards) can make it read and
// write anywhere, so jxrlib never runs in the host: this reader takes the bytes
// (a file read once, or a caller's memory), checks their container here (which
// spares a process start for plainly broken data), and has the helper
// reliefkit-jxr-decode decode the same bytes in a process of its own
// (load/jxr_helper_process.h). Only 24-bit BGR is read.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "common/checked_size.h"
#include "common/utf16.h"
#include "load/jxr_container.h"
#include "load/readers.h"

#ifdef RK_WITH_JXR
#include "load/jxr_helper_process.h"
#include "load/jxr_reply.h"
#endif

namespace rk {
namespace {

#ifdef RK_WITH_JXR
constexpr const char* kCannotRead = "could not read the file";
#else
constexpr const char* kCannotRead = "JPEG XR support is not built into this library";
#endif

// The container check's first test: "II", 0xBC and version 0 or 1. Data that
// starts so is JPEG XR to the loader, whatever the rest of it holds.
bool starts_as_jpeg_xr(ByteSource& source) noexcept {
    uint8_t head[4] = {};
    return source.read(0, head) && head[0] == 'I' && head[1] == 'I' && head[2] == 0xBC &&
           head[3] <= 1;
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

// The container check and the helper see the same bytes, whatever happens to a
// file meanwhile: data in memory as it is, a file read once into copy (dropped
// once the helper has them).
ImgbufPtr decode(std::span<const uint8_t> file, std::unique_ptr<uint8_t[]> copy,
                 std::string& reason, rk_status& status) {
    MemorySource source(file);
    const JxrContainer container = check_jxr_container(source);
    if (container.fault != JxrFault::none) {
        reason = fault_reason(container.fault);
        status = container.fault == JxrFault::pixel_format ? RK_ERROR_UNSUPPORTED
                 : container.fault == JxrFault::header && !starts_as_jpeg_xr(source)
                     ? RK_ERROR_FORMAT
                     : RK_ERROR_DAMAGED;
        return nullptr;
    }
    if (!image_bytes(container.width, container.height)) {
        reason = "the picture is too large";
        status = RK_ERROR_LIMIT;
        return nullptr;
    }
    JxrHelperRun run = run_jxr_helper(file, container.width, container.height);
    copy.reset();
    if (!run.failure.empty()) {
        reason = run.failure;
        status = run.status;
        return nullptr;
    }
    const char* why = nullptr;
    ImgbufPtr image = image_from_jxr_reply({run.reply.get(), run.reply_size}, container.width,
                                           container.height, why, &status);
    if (!image) reason = why;
    return image;
}

ImgbufPtr decode(ByteSource& source, std::string& reason, rk_status& status) {
    if (const auto bytes = source.in_memory(); !bytes.empty()) {
        return decode(bytes, nullptr, reason, status);
    }
    const uint64_t size = source.size();
    reason = kCannotRead;
    status = RK_ERROR_IO;
    if (size == UINT64_MAX) return nullptr;
    if (size >= kMaxBlockBytes) {
        status = RK_ERROR_LIMIT;
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size ? size : 1]);
    if (!source.read(0, {bytes.get(), size})) return nullptr;
    reason.clear();
    const std::span<const uint8_t> file(bytes.get(), size);
    return decode(file, std::move(bytes), reason, status);
}
#endif

}  // namespace

bool jpeg_xr_name(std::u16string_view path) {
    const auto utf8 = utf16_to_utf8(path);
    if (!utf8) return false;
    // The text from the last dot must begin with .jxr, .wdp or .hdp in any
    // case, as jxrlib's own choice of decoder has it.
    const std::string& name = *utf8;
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot < 4) return false;
    std::string ext = name.substr(dot + 1, 3);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ext == "jxr" || ext == "wdp" || ext == "hdp";
}

ImgbufPtr read_jxr(ByteSource& source, JxrChoice choice, std::u16string& message,
                   rk_status& status) {
    status = RK_ERROR_FORMAT;
    if (choice == JxrChoice::by_content && !starts_as_jpeg_xr(source)) return nullptr;
#ifdef RK_WITH_JXR
    std::string reason;
    ImgbufPtr image = decode(source, reason, status);
#else
    ImgbufPtr image;
    const std::string reason = kCannotRead;
    status = RK_ERROR_UNSUPPORTED;
#endif
    if (image) {
        status = RK_OK;
    } else {
        message = utf8_to_utf16(reason + ".");
    }
    return image;
}

ImgbufPtr load_jxr(std::u16string_view path, std::u16string* message) {
    if (!jpeg_xr_name(path)) return nullptr;
    std::u16string reason;
    rk_status status = RK_OK;
    ImgbufPtr image = read_from_path(path, [&](ByteSource& source) {
        return read_jxr(source, JxrChoice::by_name, reason, status);
    });
    if (!image && reason.empty()) reason = utf8_to_utf16(std::string(kCannotRead) + ".");
    if (!image && message) *message = reason;
    return image;
}

}  // namespace rk
