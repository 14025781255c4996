// PNG reader: a non-interlaced PNG of any colour type and bit depth, through
// libpng, into float RGBA with values 0..1 and alpha 1 where the file has none.
#include <png.h>

#include <cstdint>

#include <cstring>

#include "common/checked_size.h"
#include "common/sink.h"
#include "common/file_io.h"
#include "common/png_messages.h"
#include "load/readers.h"
#include "load/row_batches.h"

namespace rk {
namespace {

constexpr size_t kSignatureBytes = 8;

// Everything libpng works with during one read. It is reached from the frames
// that libpng's error path leaves by longjmp, so it must stay a plain record; its
// C++ owner lives in load_png's frame, which no longjmp crosses.
struct PngReadState {
    ByteCursor* input;
    PngErrorText error;  // libpng's last error, to tell running out of memory
    png_structp png;
    png_infop info;
    png_uint_32 width;
    png_uint_32 height;
    int bit_depth;
    int color_type;
    int interlace_type;
};

struct PngReadOwner {
    PngReadState state{};
    PngReadOwner() = default;
    PngReadOwner(const PngReadOwner&) = delete;
    PngReadOwner& operator=(const PngReadOwner&) = delete;
    ~PngReadOwner() { png_destroy_read_struct(&state.png, &state.info, nullptr); }
};

// A short read is an error: libpng must never decode what its buffer held before.
void read_from_input(png_structp png, png_bytep data, size_t count) {
    auto* input = static_cast<ByteCursor*>(png_get_io_ptr(png));
    if (!input || count > UINT32_MAX || !input->read_exact(data, static_cast<uint32_t>(count))) {
        png_error(png, "Read Error");
    }
}

// What a libpng error means for the caller.
rk_status libpng_failure(const PngReadState& s) noexcept {
    return std::strstr(s.error.text, "memory") || std::strstr(s.error.text, "Memory")
               ? RK_ERROR_MEMORY
               : RK_ERROR_DAMAGED;
}

// Creates libpng's structures, reads the header and asks for rows of 8- or 16-bit
// grey, grey-alpha, RGB or RGBA samples. On failure the reason has been reported,
// status says what it means and the structures are destroyed.
bool create_prepare_png(PngReadState* s, rk_status* status) {
    s->png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &s->error, png_diag_error, png_diag_warning);
    *status = RK_ERROR_MEMORY;
    if (!s->png) {
        debug_output("create_prepare_png(): png_create_read_struct() failed");
        return false;
    }
    s->info = png_create_info_struct(s->png);
    if (!s->info) {
        debug_output("create_prepare_png(): png_create_info_struct() failed");
        goto bailout;
    }
    if (setjmp(png_jmpbuf(s->png))) {
        *status = libpng_failure(*s);
        goto bailout;
    }
    *status = RK_ERROR_DAMAGED;

    png_set_read_fn(s->png, s->input, read_from_input);
    png_set_sig_bytes(s->png, kSignatureBytes);
    // libpng's own default refuses a side of more than a million pixels as an
    // invalid header; the only bound here is RK_MAX_IMAGE_PIXELS, tested below
    // before libpng sizes its row buffers by the width.
    png_set_user_limits(s->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    // Text and colour profiles are never read here, yet libpng would inflate
    // each compressed one as it passes (up to 8 MiB apiece, and a thousand of
    // them fit in a few megabytes of file: seconds of work before the first
    // pixel). They are skipped unread, their checksums still checked.
    static const png_byte kUnreadChunks[] = {'t', 'E', 'X', 't', 0, 'z', 'T', 'X', 't', 0,
                                             'i', 'T', 'X', 't', 0, 'i', 'C', 'C', 'P', 0};
    png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, kUnreadChunks,
                                sizeof kUnreadChunks / 5);
    // No gamma handling is asked of libpng: samples arrive exactly as stored,
    // whatever gAMA, sRGB or iCCP chunk the file carries.
    png_read_info(s->png, s->info);
    if (!png_get_IHDR(s->png, s->info, &s->width, &s->height, &s->bit_depth, &s->color_type,
                      &s->interlace_type, nullptr, nullptr)) {
        debug_output("create_prepare_png(): png_get_IHDR() failed");
        goto bailout;
    }
    if (s->interlace_type != PNG_INTERLACE_NONE) {
        debug_output(
            "create_prepare_png(): PNG is interlaced, which is not supported by this program "
            "currently");
        *status = RK_ERROR_UNSUPPORTED;
        goto bailout;
    }
    if (!within_pixel_limit(s->width, s->height)) {
        debug_output("load_png(): image too large");
        *status = RK_ERROR_LIMIT;
        goto bailout;
    }
    png_set_packing(s->png);
    if (s->color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(s->png);
    if (s->color_type == PNG_COLOR_TYPE_GRAY && s->bit_depth < 8) {
        png_set_expand_gray_1_2_4_to_8(s->png);
    }
    if (png_get_valid(s->png, s->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(s->png);
    png_read_update_info(s->png, s->info);
    *status = RK_OK;
    return true;

bailout:
    png_destroy_read_struct(&s->png, &s->info, nullptr);
    return false;
}

using RowConverter = void (*)(const uint8_t* src, float* dst, uint32_t width) noexcept;

// 16-bit samples are stored most significant byte first.
template <int Bytes>
inline uint32_t sample(const uint8_t* p) noexcept {
    if constexpr (Bytes == 2) {
        return (uint32_t{p[0]} << 8) | p[1];
    } else {
        return p[0];
    }
}

// One delivered row (1 grey, 2 grey-alpha, 3 RGB or 4 RGBA samples per pixel) to
// float RGBA; each sample is divided by its maximum in single precision.
template <int Channels, int Bytes>
void convert_row(const uint8_t* src, float* dst, uint32_t width) noexcept {
    constexpr float kMax = Bytes == 2 ? 65535.0f : 255.0f;
    constexpr int kStep = Channels * Bytes;
    for (uint32_t x = 0; x < width; ++x, src += kStep, dst += 4) {
        float v[Channels];
        for (int c = 0; c < Channels; ++c)
            v[c] = static_cast<float>(sample<Bytes>(src + c * Bytes)) / kMax;
        if constexpr (Channels <= 2) {
            dst[0] = dst[1] = dst[2] = v[0];
        } else {
            dst[0] = v[0];
            dst[1] = v[1];
            dst[2] = v[2];
        }
        // Layouts with an even sample count end in alpha.
        if constexpr (Channels % 2 == 0) {
            dst[3] = v[Channels - 1];
        } else {
            dst[3] = 1.0f;
        }
    }
}

// Indexed by bytes per sample - 1 and samples per pixel - 1.
constexpr RowConverter kRowConverters[2][4] = {
    {convert_row<1, 1>, convert_row<2, 1>, convert_row<3, 1>, convert_row<4, 1>},
    {convert_row<1, 2>, convert_row<2, 2>, convert_row<3, 2>, convert_row<4, 2>},
};

// Reads every row into image through batches of batch_rows rows of row_bytes,
// then the chunks after the image data. libpng decodes each batch on this
// thread; the threads then convert it while no libpng call runs, so no longjmp
// can leave their frames. Structures are left to the caller's owner.
bool read_png_rows(PngReadState* s, imgbuf* image, uint8_t* batch, uint32_t batch_rows,
                   uint32_t row_bytes, RowConverter convert) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    const uint32_t width = s->width;
    const auto convert_row = [=](uint32_t y, const uint8_t* stored) noexcept {
        convert(stored, row_unchecked(image, y), width);
    };
    for (png_uint_32 first = 0; first < s->height; first += batch_rows) {
        const uint32_t count = s->height - first < batch_rows ? s->height - first : batch_rows;
        for (uint32_t k = 0; k < count; ++k) {
            png_read_row(s->png, batch + size_t{k} * row_bytes, nullptr);
        }
        convert_batch(batch, row_bytes, first, count, kMinThreadRows, convert_row);
    }
    png_read_end(s->png, s->info);
    return true;
}

}  // namespace

ImgbufPtr read_png(ByteSource& source, rk_status& status) {
    ByteCursor input(source);
    png_byte signature[kSignatureBytes] = {};
    const bool signature_read = input.read_exact(signature, kSignatureBytes);
    const uint64_t size = input.size();
    status = RK_ERROR_FORMAT;
    if (size == UINT64_MAX || size < kSignatureBytes ||
        (signature_read && png_sig_cmp(signature, 0, kSignatureBytes) != 0)) {
        return nullptr;
    }
    status = RK_ERROR_IO;
    if (!signature_read) return nullptr;  // a read error says nothing about the format

    PngReadOwner reader;
    reader.state.input = &input;
    if (!create_prepare_png(&reader.state, &status)) return nullptr;
    const PngReadState& s = reader.state;

    const int channels = png_get_channels(s.png, s.info);
    const int sample_bytes = png_get_bit_depth(s.png, s.info) == 16 ? 2 : 1;
    const auto row_bytes = checked_product(s.width, static_cast<uint64_t>(channels), sample_bytes);
    status = RK_ERROR_DAMAGED;
    if (channels < 1 || channels > 4 || !row_bytes ||
        *row_bytes != png_get_rowbytes(s.png, s.info)) {
        debug_output("load_png(): unexpected row layout");
        return nullptr;
    }
    ImgbufPtr image = make_image(s.width, s.height);
    status = RK_ERROR_MEMORY;
    if (!image) {
        debug_output("load_png(): not enough memory");
        return nullptr;
    }
    const auto stored_row_bytes = static_cast<uint32_t>(*row_bytes);
    const uint32_t batch_rows = rows_per_batch(stored_row_bytes, s.height);
    const auto batch = zeroed_block(size_t{batch_rows} * stored_row_bytes);
    if (!read_png_rows(&reader.state, image.get(), batch.get(), batch_rows, stored_row_bytes,
                       kRowConverters[sample_bytes - 1][channels - 1])) {
        status = libpng_failure(reader.state);
        return nullptr;
    }
    status = RK_OK;
    return image;
}

ImgbufPtr load_png(std::u16string_view path, bool& not_my_format) {
    rk_status status = RK_OK;
    ImgbufPtr image = read_from_path(path, [&](ByteSource& source) {
        return read_png(source, status);
    });
    not_my_format = status == RK_ERROR_FORMAT;
    return image;
}

}  // namespace rk
