// Uncompressed true-colour TGA files without a colour map, in 15, 16, 24 and 32
// bits per pixel, every orientation.
#include <array>
#include <cstddef>
#include <cstring>
#include <new>

#include "common/checked_size.h"
#include "load/le_reader.h"
#include "load/readers.h"
#include "load/row_batches.h"

namespace rk {
namespace {

constexpr uint32_t kHeaderBytes = 18;
constexpr uint32_t kFooterBytes = 26;
constexpr uint32_t kExtensionBytes = 495;
// A file shorter than a header, one pixel byte and a footer has no room for a footer.
constexpr uint64_t kMinFooterFileBytes = 45;
// The footer ends with these 17 characters and their terminating zero.
constexpr std::array<uint8_t, 18> kFooterSignature = {'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                                      'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

constexpr uint8_t kTrueColour = 2;
constexpr uint8_t kAlphaBitsMask = 0x0F;
constexpr uint8_t kRightToLeft = 0x10;
constexpr uint8_t kTopToBottom = 0x20;

struct TgaHeader {
    uint8_t id_length;
    uint8_t colormap_type;
    uint8_t image_type;
    uint16_t width;
    uint16_t height;
    uint8_t depth;
    uint8_t descriptor;
};

TgaHeader parse_header(const std::array<uint8_t, kHeaderBytes>& raw) noexcept {
    LeReader r(raw);
    return {r.u8(0), r.u8(1), r.u8(2), r.u16(12), r.u16(14), r.u8(16), r.u8(17)};
}

// Converts count stored pixels; pixel i goes to dst + i * step floats, so a
// right-to-left row is written backwards by the same loop.
using TgaRowFn = void (*)(const uint8_t* src, float* dst, ptrdiff_t step,
                            uint32_t count) noexcept;

template <bool Alpha>
void convert_x1r5g5b5(const uint8_t* src, float* dst, ptrdiff_t step, uint32_t count) noexcept {
    for (uint32_t i = 0; i < count; ++i, src += 2) {
        const uint32_t v = load_le16(src);
        float* px = dst + step * ptrdiff_t{i};
        px[0] = static_cast<float>((v >> 10) & 31) / 31.0f;
        px[1] = static_cast<float>((v >> 5) & 31) / 31.0f;
        px[2] = static_cast<float>(v & 31) / 31.0f;
        px[3] = Alpha ? static_cast<float>(v >> 15) : 1.0f;
    }
}

template <uint32_t Bytes, bool Alpha>
void convert_b8g8r8(const uint8_t* src, float* dst, ptrdiff_t step, uint32_t count) noexcept {
    for (uint32_t i = 0; i < count; ++i, src += Bytes) {
        float* px = dst + step * ptrdiff_t{i};
        px[0] = static_cast<float>(src[2]) / 255.0f;
        px[1] = static_cast<float>(src[1]) / 255.0f;
        px[2] = static_cast<float>(src[0]) / 255.0f;
        px[3] = Alpha ? static_cast<float>(src[3]) / 255.0f : 1.0f;
    }
}

struct TgaLayout {
    uint8_t depth;
    uint8_t alpha_bits;
    uint32_t bytes_per_pixel;
    TgaRowFn convert;
};

constexpr TgaLayout kLayouts[] = {
    {15, 0, 2, convert_x1r5g5b5<false>}, {16, 0, 2, convert_x1r5g5b5<false>},
    {16, 1, 2, convert_x1r5g5b5<true>},  {24, 0, 3, convert_b8g8r8<3, false>},
    {32, 8, 4, convert_b8g8r8<4, true>},
};

const TgaLayout* find_layout(uint8_t depth, uint8_t alpha_bits) noexcept {
    for (const TgaLayout& l : kLayouts) {
        if (l.depth == depth && l.alpha_bits == alpha_bits) return &l;
    }
    return nullptr;
}

// Records why the file was refused and what that means.
struct Refusal {
    std::u16string& message;
    rk_status& status;
    ImgbufPtr operator()(rk_status s, std::u16string_view text) const {
        message = text;
        status = s;
        return nullptr;
    }
};

// TGA has no signature: a header is taken for a TGA that the reader does not
// read (rather than for some other format) only when its fields make sense for
// the variant it names: a colour-mapped, grey or run-length-encoded image, or a
// true-colour one of a depth the format has. A true-colour or grey image may
// carry a colour map it does not use; this reader refuses any map all the same.
rk_status refusal_status(const TgaHeader& h) noexcept {
    const bool mapped = h.colormap_type == 1 && ((h.image_type >= 1 && h.image_type <= 3) ||
                                                 (h.image_type >= 9 && h.image_type <= 11));
    const bool unmapped =
        h.colormap_type == 0 && (h.image_type == 2 || h.image_type == 3 || h.image_type == 10 ||
                                 h.image_type == 11);
    const bool depth = h.depth == 8 || h.depth == 15 || h.depth == 16 || h.depth == 24 ||
                       h.depth == 32;
    return (mapped || unmapped) && depth ? RK_ERROR_UNSUPPORTED : RK_ERROR_FORMAT;
}

// Reads the version-2 footer and the extension area it names, then returns to
// the start. The area is not interpreted; it is read so that a footer pointing
// nowhere is reported. Returns the failure text, or null.
const char16_t* read_footer(ByteCursor& file, uint64_t size, uint8_t* extension) noexcept {
    std::array<uint8_t, kFooterBytes> raw{};
    if (!file.seek(size - kFooterBytes))
        return u"I/O error while seeking to file footer (version 2).";
    if (!file.read_exact(raw.data(), kFooterBytes)) {
        return u"I/O error while reading file footer (version 2).";
    }
    LeReader footer(raw);
    const uint32_t extension_offset = footer.u32(0);
    const auto signature = footer.bytes(8, kFooterSignature.size());
    const bool version2 = footer.ok() && std::memcmp(signature.data(), kFooterSignature.data(),
                                                     kFooterSignature.size()) == 0;
    if (version2 && extension_offset != 0) {
        if (!file.seek(extension_offset)) return u"I/O error while seeking to extensiona area.";
        if (!file.read_exact(extension, kExtensionBytes)) {
            return u"I/O error while reading extension area.";
        }
    }
    if (!file.seek(0)) return u"I/O error while seeking back to file start.";
    return nullptr;
}

}  // namespace

ImgbufPtr read_tga(ByteSource& source, std::u16string& message, rk_status& status) {
    const Refusal fail{message, status};
    ByteCursor file(source);
    const uint64_t size = file.size();
    if (size == UINT64_MAX || size < kHeaderBytes) return fail(RK_ERROR_FORMAT, u"File too small.");

    const auto extension = zeroed_block(kExtensionBytes);
    if (size >= kMinFooterFileBytes) {
        if (const char16_t* error = read_footer(file, size, extension.get())) {
            return fail(source.read_failed() ? RK_ERROR_IO : RK_ERROR_DAMAGED, error);
        }
    }

    std::array<uint8_t, kHeaderBytes> raw{};
    if (!file.read_exact(raw.data(), kHeaderBytes)) {
        return fail(RK_ERROR_IO, u"I/O error while reading file header.");
    }
    const TgaHeader header = parse_header(raw);
    if (header.colormap_type != 0) {
        return fail(refusal_status(header), u"Files with colormaps (palettes) are not supported.");
    }
    if (header.image_type != kTrueColour) {
        return fail(refusal_status(header), u"Only uncompressed truecolor files supported.");
    }
    const TgaLayout* layout = find_layout(header.depth, header.descriptor & kAlphaBitsMask);
    if (!layout) return fail(refusal_status(header), u"Unsupported pixel format.");

    const uint64_t data_start = kHeaderBytes + uint64_t{header.id_length};
    if (header.id_length != 0 && !file.seek(data_start)) {
        return fail(RK_ERROR_IO, u"I/O error while seeking to image data.");
    }

    const uint32_t width = header.width;
    const uint32_t height = header.height;
    // 16-bit sides can describe more pixels than a loader may allocate.
    if (!within_pixel_limit(width, height)) return fail(RK_ERROR_LIMIT, u"Image data too large.");
    // At most 65535 x 4 bytes, and at most 2^35 for all rows: no product wraps.
    const uint32_t row_bytes = width * layout->bytes_per_pixel;
    // A file too short for its rows fails before an image is allocated for it; the
    // reads below still check every row.
    if (data_start + uint64_t{row_bytes} * height > size) {
        return fail(RK_ERROR_DAMAGED, u"I/O error while reading image data.");
    }

    ImgbufPtr img = make_image(width, height);
    if (!img) return fail(RK_ERROR_MEMORY, u"Not enough memory.");
    status = RK_OK;
    if (row_bytes == 0) return img;  // no stored pixels, nothing to convert

    const uint32_t batch_rows = rows_per_batch(row_bytes, height);
    std::unique_ptr<uint8_t[]> batch;
    try {
        batch = zeroed_block(size_t{batch_rows} * row_bytes);
    } catch (const std::bad_alloc&) {
        return fail(RK_ERROR_MEMORY, u"Not enough memory.");
    }

    const bool top_down = (header.descriptor & kTopToBottom) != 0;
    const bool right_to_left = (header.descriptor & kRightToLeft) != 0;
    const size_t first_column = right_to_left ? 4 * size_t{width - 1} : 0;
    const ptrdiff_t step = right_to_left ? -4 : 4;
    const TgaRowFn convert = layout->convert;
    imgbuf* const out = img.get();
    const auto convert_row = [=](uint32_t r, const uint8_t* stored) noexcept {
        const uint32_t y = top_down ? r : height - 1 - r;
        convert(stored, row_unchecked(out, y) + first_column, step, width);
    };
    if (!read_rows_converted(file, batch.get(), batch_rows, row_bytes, height, kMinThreadRows,
                             convert_row)) {
        return fail(RK_ERROR_DAMAGED, u"I/O error while reading image data.");
    }
    return img;
}

ImgbufPtr load_tga(std::u16string_view path, std::u16string& message) {
    rk_status status = RK_OK;
    ImgbufPtr image = read_from_path(path, [&](ByteSource& source) {
        return read_tga(source, message, status);
    });
    if (!image && message.empty()) message = u"Could not open file.";
    return image;
}

}  // namespace rk
