// reliefkit-jxr-decode: decodes one JPEG XR image for the library, in a process
// of its own, so that jxrlib's faults on damaged tile data cannot reach the host.
//
//   reliefkit-jxr-decode WIDTH HEIGHT ADDRESS_SPACE_BYTES CPU_SECONDS
//
// The file's bytes are on descriptor 0 (a sealed memory file the library filled);
// the reply (load/jxr_reply_format.h) goes to descriptor 3. WIDTH and HEIGHT are
// the size the library's container check found: a codestream of any other size
// is not decoded. The limits are set before any input is looked at (0: none).
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "load/jxr_reply_format.h"
#include "syscall_filter.h"

// jxrlib last: its headers define min and max as macros.
#include <JXRGlue.h>
#undef min
#undef max

namespace {

constexpr int kInput = 0;
constexpr int kReply = 3;

bool write_all(const uint8_t* p, size_t n) noexcept {
    while (n > 0) {
        const ssize_t done = ::write(kReply, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

[[noreturn]] void reply(rk::JxrReplyStatus status, uint32_t width = 0, uint32_t height = 0,
                        const uint8_t* pixels = nullptr, uint64_t bytes = 0) noexcept {
    uint8_t header[rk::kJxrReplyHeaderBytes];
    rk::encode_jxr_reply_header({static_cast<uint32_t>(status), width, height, bytes}, header);
    const bool ok = write_all(header, sizeof header) && (!pixels || write_all(pixels, bytes));
    // No destructors or exit handlers: the process is done, and its memory goes
    // with it.
    ::_exit(ok ? 0 : 3);
}

bool number(const char* text, uint64_t& value) noexcept {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

// Lowers a limit to value, never raises it: raising the hard limit needs a
// privilege the helper has not got, and a host that set lower limits for itself
// meant them for its children too. A limit left too small for the picture ends
// the decode on that limit.
bool limit(int resource, uint64_t value) noexcept {
    if (value == 0) return true;
    rlimit r{};
    if (::getrlimit(resource, &r) != 0) return false;
    r.rlim_cur = std::min<rlim_t>(r.rlim_cur, value);
    r.rlim_max = std::min<rlim_t>(r.rlim_max, value);
    return ::setrlimit(resource, &r) == 0;
}

}  // namespace

#ifdef RKJXR_SANITIZED
// In sanitizer builds a fault inside jxrlib (which is not instrumented) is left
// to the kernel, so that the library sees the same signal as in other builds;
// the process ends with _exit, so a leak check would have nothing to say.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_abort=0:detect_leaks=0";
}
#endif

int main(int argc, char** argv) {
    using rk::JxrReplyStatus;
    uint64_t width = 0, height = 0, address_space = 0, cpu_seconds = 0;
    const rlimit no_core{0, 0};
    if (argc != 5 || !number(argv[1], width) || !number(argv[2], height) ||
        !number(argv[3], address_space) || !number(argv[4], cpu_seconds) || width == 0 ||
        height == 0 || width > UINT32_MAX / 3 || height > UINT32_MAX ||
        width * height > (uint64_t{1} << 32) / 16 || ::setrlimit(RLIMIT_CORE, &no_core) != 0 ||
        !limit(RLIMIT_AS, address_space) || !limit(RLIMIT_CPU, cpu_seconds)) {
        reply(JxrReplyStatus::bad_request);
    }

    struct stat st {};
    if (::fstat(kInput, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        reply(JxrReplyStatus::bad_request);
    }
    const auto size = static_cast<size_t>(st.st_size);
    // A private writable mapping: jxrlib's memory stream takes a non-const block.
    void* input = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, kInput, 0);
    if (input == MAP_FAILED) reply(JxrReplyStatus::out_of_memory);
    ::close(kInput);
    const uint64_t pixel_bytes = width * height * 3;
    auto* pixels = static_cast<uint8_t*>(std::calloc(pixel_bytes, 1));
    if (!pixels) reply(JxrReplyStatus::out_of_memory);

    if (!rkjxr::restrict_system_calls()) reply(JxrReplyStatus::bad_request);

    // From here on the input is untrusted data inside a locked process. jxrlib's
    // objects are never released: the process ends right after the reply.
    WMPStream* stream = nullptr;
    PKImageDecode* decoder = nullptr;
    PKFormatConverter* converter = nullptr;
    if (Failed(CreateWS_Memory(&stream, input, size))) reply(JxrReplyStatus::out_of_memory);
    ERR err = PKImageDecode_Create_WMP(&decoder);
    if (!Failed(err)) err = decoder->Initialize(decoder, stream);
    if (err == WMP_errOutOfMemory) reply(JxrReplyStatus::out_of_memory);
    if (Failed(err)) reply(JxrReplyStatus::refused);
    decoder->fStreamOwner = !0;
    // jxrlib sizes its decode by the codestream's own header. A codestream that
    // claims another size than the container's entries has been tampered with,
    // and its tile data would run the entropy decoder off its tables: refused
    // before anything is decoded.
    if (decoder->uWidth != width || decoder->uHeight != height) {
        reply(JxrReplyStatus::size_differs);
    }
    const PKPixelFormatGUID format = decoder->guidPixFormat;
    if (std::memcmp(&format, &GUID_PKPixelFormat24bppBGR, sizeof format) != 0) {
        reply(JxrReplyStatus::not_bgr24);
    }
    // Converting to the file's own format makes the converter's step an identity.
    if (Failed(PKCodecFactory_CreateFormatConverter(&converter)) ||
        Failed(converter->Initialize(converter, decoder, nullptr, format))) {
        reply(JxrReplyStatus::refused);
    }
    const PKRect whole{0, 0, static_cast<I32>(width), static_cast<I32>(height)};
    err = converter->Copy(converter, &whole, pixels, static_cast<U32>(width * 3));
    if (err == WMP_errOutOfMemory) reply(JxrReplyStatus::out_of_memory);
    if (Failed(err)) reply(JxrReplyStatus::damaged);
    reply(JxrReplyStatus::decoded, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
          pixels, pixel_bytes);
}
