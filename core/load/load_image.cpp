// The loader front: tries the readers in a fixed order and returns the first
// image one of them makes. The file name is never consulted here; only the
// readers' own answers decide whether the next one is tried.
#include <string>
#include <string_view>

#include "common/export_boundary.h"
#include "common/sink.h"
#include "common/thread_pool.h"
#include "load/readers.h"
#include "common/utf16.h"
#include "reliefkit.h"

namespace rk {
namespace {

// Prefix and reason go to the sink as two texts, with no line break added.
void report(std::u16string_view prefix, std::u16string_view message) noexcept {
    debug_output(prefix);
    debug_output(message);
}

ImgbufPtr load_any(std::u16string_view caller_path) {
    const std::u16string path(caller_path);
    if (path.empty()) return nullptr;

    // PNG and JPEG stop the dispatch unless they found the file is not theirs: a
    // file that cannot be opened, or one of theirs that fails, ends here.
    bool not_my_format = false;
    if (auto image = load_png(path, not_my_format)) return image;
    if (!not_my_format) return nullptr;

    not_my_format = false;
    if (auto image = load_jpeg(path, not_my_format)) return image;
    if (!not_my_format) return nullptr;

    std::u16string message;
    if (auto image = load_jxr(path, &message)) return image;
    if (!message.empty()) report(u"JPEG XR image loader: ", message);
    message.clear();

    if (auto image = load_dds(path, message)) return image;
    report(u"DDS image loader: ", message);
    message.clear();

    if (auto image = load_tga(path, message)) return image;
    report(u"TGA image loader: ", message);
    return nullptr;
}

}  // namespace
}  // namespace rk

extern "C" RK_API imgbuf* load_image(const char16_t* path) noexcept {
    // A null path reads as an empty one: nothing to load.
    const rk::LibraryCall busy;
    return rk::guarded(static_cast<imgbuf*>(nullptr),
                       [&] { return rk::load_any(rk::u16_view(path)).release(); });
}
