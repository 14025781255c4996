// The JPEG XR reader: jxrlib opens the file by name, decodes 24-bit BGR files in
// one call, and we convert the bytes to float RGBA. Any other stored pixel
// format and every failure give null, with nothing written to the diagnostics.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "common/checked_size.h"
#include "common/file_io.h"
#include "load/jxr_container.h"
#include "load/readers.h"
#include "common/utf16.h"

// jxrlib last: its headers define min and max as macros.
#include <JXRGlue.h>
#undef min
#undef max

namespace rk {
namespace {

// The container's text and array metadata (software name, copyright, ...) are
// copied into the decoder when the container is read, and releasing the decoder
// does not free them.
void release_decoder(PKImageDecode* d) noexcept {
    DESCRIPTIVEMETADATA& m = d->WMP.sDescMetadata;
    for (DPKPROPVARIANT* v :
         {&m.pvarImageDescription, &m.pvarCameraMake, &m.pvarCameraModel, &m.pvarSoftware,
          &m.pvarDateTime, &m.pvarArtist, &m.pvarCopyright, &m.pvarRatingStars, &m.pvarRatingValue,
          &m.pvarCaption, &m.pvarDocumentName, &m.pvarPageName, &m.pvarPageNumber,
          &m.pvarHostComputer}) {
        FreeDescMetadata(v);
    }
    PKImageDecode_Release(&d);
}

struct DecoderRelease {
    void operator()(PKImageDecode* d) const noexcept { release_decoder(d); }
};
struct ConverterRelease {
    void operator()(PKFormatConverter* c) const noexcept { PKFormatConverter_Release(&c); }
};
using DecoderPtr = std::unique_ptr<PKImageDecode, DecoderRelease>;
using ConverterPtr = std::unique_ptr<PKFormatConverter, ConverterRelease>;

// jxrlib chooses its decoder by the name's extension (.jxr, .wdp, .hdp) and
// refuses any other name before opening the file.
DecoderPtr open_decoder(const std::string& name) {
    PKImageDecode* raw = nullptr;
    if (!Failed(PKCodecFactory_CreateDecoderFromFile(name.c_str(), &raw))) return DecoderPtr(raw);
    // When the container header is refused, jxrlib hands back a half-made decoder
    // that does not yet own the open file; releasing it as the owner frees both.
    if (raw) {
        if (raw->pStream) raw->fStreamOwner = !0;
        release_decoder(raw);
    }
    return nullptr;
}

// A decode that fails midway leaves its codec context behind, and releasing the
// decoder does not free it.
void drop_codec_contexts(PKImageDecode* decoder) {
    for (CTXSTRCODEC* ctx : {&decoder->WMP.ctxSC, &decoder->WMP.ctxSC_Alpha}) {
        if (*ctx) ImageStrDecTerm(*ctx);
        *ctx = nullptr;
    }
}

class FileSource final : public ByteSource {
  public:
    explicit FileSource(std::u16string_view path)
        : file_(path, true, false, true, false), size_(file_.size()) {}
    bool failed() const noexcept { return file_.failed() || size_ == UINT64_MAX; }
    uint64_t size() const noexcept override { return size_; }
    bool read(uint64_t offset, std::span<uint8_t> dst) noexcept override {
        if (offset > size_ || dst.size() > size_ - offset || dst.size() > UINT32_MAX) return false;
        return file_.seek(offset) &&
               file_read_exact(file_, dst.data(), static_cast<uint32_t>(dst.size()));
    }

  private:
    FileHandle file_;
    uint64_t size_;
};

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds only. jxrlib's entropy decoder crashes on damaged tile data, which
// no check short of decoding can foresee; the fuzz runs skip the decode (and hand
// out the zero-filled picture) so that they keep exercising everything up to it,
// unless RK_FUZZ_JXR_DECODE is set to hunt inside the decoder on purpose.
bool fuzz_skips_decode() {
    static const bool skip = std::getenv("RK_FUZZ_JXR_DECODE") == nullptr;
    return skip;
}
#endif

bool is_bgr24(const PKPixelFormatGUID& format) {
    return std::memcmp(&format, &GUID_PKPixelFormat24bppBGR, sizeof format) == 0;
}

void convert_bgr_rows(const uint8_t* src, imgbuf* image) {
    const uint32_t width = image->width;
    for (uint32_t y = 0; y < image->height; ++y) {
        float* dst = row_unchecked(image, y);
        for (uint32_t x = 0; x < width; ++x, src += 3, dst += 4) {
            dst[0] = static_cast<float>(src[2]) / 255.0f;
            dst[1] = static_cast<float>(src[1]) / 255.0f;
            dst[2] = static_cast<float>(src[0]) / 255.0f;
            dst[3] = 1.0f;
        }
    }
}

}  // namespace

ImgbufPtr load_jxr(std::u16string_view path) {
    const auto name = utf16_to_utf8(path);
    if (!name || name->empty()) return nullptr;
    // jxrlib loses the memory of its file stream when it cannot open the file, and
    // trusts the container it parses: both are settled before it sees the name.
    JxrContainer container;
    {
        FileSource file(path);
        if (file.failed()) return nullptr;
        container = check_jxr_container(file);
        if (container.fault != JxrFault::none) return nullptr;
    }

    const DecoderPtr decoder = open_decoder(*name);
    if (!decoder) return nullptr;
    PKFormatConverter* raw_converter = nullptr;
    const ERR made = PKCodecFactory_CreateFormatConverter(&raw_converter);
    const ConverterPtr converter(raw_converter);
    if (Failed(made) || !converter) return nullptr;

    const uint32_t width = decoder->uWidth;
    const uint32_t height = decoder->uHeight;
    const PKPixelFormatGUID format = decoder->guidPixFormat;
    if (!jxr_size_agrees(container, width, height)) return nullptr;
    // Converting to the file's own format makes the converter's step an identity.
    if (Failed(converter->Initialize(converter.get(), decoder.get(), nullptr, format))) {
        return nullptr;
    }
    if (!is_bgr24(format)) return nullptr;

    // Sizes are checked before jxrlib sizes its own buffers for the decode.
    const auto pixel_bytes = checked_product(width, height, 3);
    if (width == 0 || height == 0 || !image_bytes(width, height) || !pixel_bytes) return nullptr;
    ImgbufPtr image = make_image(width, height);
    if (!image) return nullptr;
    const auto pixels = zeroed_block(*pixel_bytes);

    const PKRect whole{0, 0, static_cast<I32>(width), static_cast<I32>(height)};
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    if (fuzz_skips_decode()) {
        convert_bgr_rows(pixels.get(), image.get());
        return image;
    }
#endif
    if (Failed(converter->Copy(converter.get(), &whole, pixels.get(), width * 3))) {
        // Damaged tile data: no half-decoded picture is handed out.
        drop_codec_contexts(decoder.get());
        return nullptr;
    }
    convert_bgr_rows(pixels.get(), image.get());
    return image;
}

}  // namespace rk
