// The top-level image of a two-dimensional DDS texture, in any layout of the
// format tables. Cube maps, volume textures and DX10 files are refused; mipmap
// levels are never read.
#include <new>

#include "common/checked_size.h"
#include "load/dds_formats.h"
#include "load/dds_header.h"
#include "load/le_reader.h"
#include "load/readers.h"
#include "load/row_batches.h"

namespace rk {
namespace {

constexpr uint32_t kMagic = 0x20534444;  // "DDS "
constexpr uint32_t kHeaderSize = 124;
constexpr uint32_t kPixelFormatSize = 32;
constexpr uint32_t kFourccDx10 = 0x30315844;
constexpr uint32_t kCubemap = 0x200;
constexpr uint32_t kVolume = 0x200000;

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

}  // namespace

DdsHeader parse_dds_header(const DdsHeaderBytes& raw) noexcept {
    LeReader r(raw);
    DdsHeader h{};
    h.magic = r.u32(0);
    h.header_size = r.u32(4);
    h.height = r.u32(12);
    h.width = r.u32(16);
    h.pixel_format = {r.u32(76), r.u32(80), r.u32(84),  r.u32(88),
                      r.u32(92), r.u32(96), r.u32(100), r.u32(104)};
    h.caps2 = r.u32(112);
    return h;
}

bool check_dds_header(const DdsHeader& header, std::u16string& message) {
    const char16_t* error = nullptr;
    if (header.magic != kMagic) {
        error = u"File is not a DDS file.";
    } else if (header.header_size != kHeaderSize) {
        error = u"File header incorrect (size of DDS_HEADER).";
    } else if (header.pixel_format.size != kPixelFormatSize) {
        error = u"File header incorrect (size of DDS_PIXELFORMAT).";
    } else if (header.pixel_format.fourcc == kFourccDx10) {  // whatever the flags say
        error = u"Unsupported image format (DX10).";
    }
    if (error) message = error;
    return !error;
}

ImgbufPtr read_dds(ByteSource& source, std::u16string& message, rk_status& status) {
    const Refusal fail{message, status};
    ByteCursor input(source);
    const uint64_t size = input.size();
    if (size == UINT64_MAX || size < kDdsHeaderBytes) {
        uint8_t magic[4] = {};
        const bool cut = input.read_exact(magic, sizeof magic) && load_le32(magic) == kMagic;
        return fail(cut ? RK_ERROR_DAMAGED : RK_ERROR_FORMAT, u"File too small.");
    }

    DdsHeaderBytes raw{};
    if (!input.read_exact(raw.data(), kDdsHeaderBytes)) {
        return fail(RK_ERROR_IO, u"I/O error reading file header.");
    }
    const DdsHeader header = parse_dds_header(raw);
    if (!check_dds_header(header, message)) {
        status = header.magic != kMagic                           ? RK_ERROR_FORMAT
                 : header.pixel_format.fourcc == kFourccDx10 &&
                         header.header_size == kHeaderSize &&
                         header.pixel_format.size == kPixelFormatSize
                     ? RK_ERROR_UNSUPPORTED
                     : RK_ERROR_DAMAGED;
        return nullptr;
    }

    const DdsFormat* format = find_dds_format(header.pixel_format);
    if (!format) return fail(RK_ERROR_UNSUPPORTED, u"Unsupported image format.");

    // The image must stay within the pixel limit, and a stored row and every step
    // that computes its length below 2^32 bytes.
    const auto pitch = dds_row_pitch(*format, header.width);
    if (!within_pixel_limit(header.width, header.height) || !pitch) {
        return fail(RK_ERROR_LIMIT, u"Image data too large.");
    }
    if (header.caps2 & kCubemap) return fail(RK_ERROR_UNSUPPORTED, u"Cubemap files not supported.");
    if (header.caps2 & kVolume) {
        return fail(RK_ERROR_UNSUPPORTED, u"Volume texture files not supported.");
    }

    // Partial rows of blocks at the bottom are stored and decoded too.
    const uint32_t rows = dds_stored_rows(*format, header.height);
    // A file too short for its top level fails before an image is allocated for
    // it; the reads below still check every row.
    if (uint64_t{*pitch} * rows > size - kDdsHeaderBytes) {
        return fail(RK_ERROR_DAMAGED, u"I/O error reading image data.");
    }

    ImgbufPtr img = make_image(header.width, header.height);
    if (!img) return fail(RK_ERROR_MEMORY, u"Not enough memory.");
    status = RK_OK;
    // A zero-width image stores no bytes per row: there is nothing to read.
    if (rows == 0 || *pitch == 0) return img;

    const uint32_t batch_rows = rows_per_batch(*pitch, rows);
    std::unique_ptr<uint8_t[]> batch;
    try {
        batch = zeroed_block(size_t{batch_rows} * *pitch);
    } catch (const std::bad_alloc&) {
        return fail(RK_ERROR_MEMORY, u"Not enough memory.");
    }
    // A stored row of blocks holds four pixel rows.
    const uint32_t min_rows =
        format->layout == DDS_LAYOUT_BLOCKS ? kMinThreadRows / 4 : kMinThreadRows;
    const DdsDecodeFn decode = format->decode_row;
    imgbuf* const out = img.get();
    const auto decode_row = [=](uint32_t i, const uint8_t* stored) noexcept {
        decode(out, i, stored);
    };
    if (!read_rows_converted(input, batch.get(), batch_rows, *pitch, rows, min_rows, decode_row)) {
        return fail(RK_ERROR_DAMAGED, u"I/O error reading image data.");
    }
    return img;
}

ImgbufPtr load_dds(std::u16string_view path, std::u16string& message) {
    rk_status status = RK_OK;
    ImgbufPtr image = read_from_path(path, [&](ByteSource& source) {
        return read_dds(source, message, status);
    });
    if (!image && message.empty()) message = u"Could not open file.";
    return image;
}

}  // namespace rk
