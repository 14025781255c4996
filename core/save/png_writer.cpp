#include "save/png_writer.h"

#include <png.h>

#include <algorithm>
#include <new>

#include "imgbuf/imgbuf.h"
#include "common/png_messages.h"
#include "common/utf16.h"
#include "save/png_encoder.h"

namespace rk {
namespace {

constexpr std::string_view kNoImage = "No image to save.";
constexpr std::string_view kNoWriteStruct = "png_create_write_struct() failed";
constexpr std::string_view kNoInfoStruct = "png_create_info_struct() failed";
constexpr std::string_view kLibpngError = "pnglib error: ";
constexpr std::string_view kNoSuchFormat = "Unsupported PNG bit depth or layout.";

// A host's buffer of RK_MIN_MESSAGE_CAPACITY holds each of these whole (and
// save_to_file's), and so at least the start of libpng's reasons.
static_assert(std::max({kNoImage.size(), kNoWriteStruct.size(), kNoInfoStruct.size(),
                        kLibpngError.size(), kNoSuchFormat.size()}) < RK_MIN_MESSAGE_CAPACITY);

enum class EncodeResult {
    header_written,
    no_write_struct,
    no_info_struct,
    libpng_error,
    write_failed
};

// What the libpng callbacks reach. Plain, since libpng's error path leaves the
// frames that use it by longjmp; its owners live in write_png's frame, which no
// longjmp crosses.
struct PngWriteJob {
    uint32_t width;
    uint32_t height;
    int bit_depth;
    int colour_type;
    ByteSink* out;
    bool write_failed;
    PngErrorText error;
};

void write_to_output(png_structp png, png_bytep data, size_t count) {
    auto* job = static_cast<PngWriteJob*>(png_get_io_ptr(png));
    if (!job->out->write(data, count)) {
        job->write_failed = true;
        png_longjmp(png, 1);
    }
}

// Nothing to flush: the output is synced once, when complete.
void flush_output(png_structp) {}

// libpng checks the header and writes the signature and IHDR; the pixels go
// through the encoder afterwards, outside libpng's longjmp.
EncodeResult encode_header(PngWriteJob* job) {
    const uint32_t width = job->width;
    const uint32_t height = job->height;
    // Set only after the last libpng call that could jump, so that no assignment
    // lies between setjmp and a longjmp.
    EncodeResult result = EncodeResult::no_info_struct;
    png_infop info = nullptr;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job->error, png_diag_error,
                                              png_diag_warning);
    if (!png) return EncodeResult::no_write_struct;
    info = png_create_info_struct(png);
    if (!info) goto bailout;
    if (setjmp(png_jmpbuf(png))) {
        result = job->write_failed ? EncodeResult::write_failed : EncodeResult::libpng_error;
        goto bailout;
    }

    png_set_write_fn(png, job, write_to_output, flush_output);
    // libpng's own default refuses a side of more than a million pixels as an
    // invalid header; the loaders take such pictures (the pixel limit is the
    // only bound), so the saver writes them too.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_IHDR(png, info, width, height, job->bit_depth, job->colour_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    result = EncodeResult::header_written;

bailout:
    png_destroy_write_struct(&png, &info);
    return result;
}

}  // namespace

SaveOutcome encode_png(const imgbuf* img, ByteSink& out, const PngFormat& format) {
    const auto failure = [](rk_status status, std::string_view message) {
        return save_failure(status, std::string(message));
    };
    if (!has_pixels(img)) return failure(RK_ERROR_ARGUMENT, kNoImage);
    if (!png_format_valid(format)) return failure(RK_ERROR_ARGUMENT, kNoSuchFormat);

    const PngRowSource rows(img, format);
    const PngColour colour = format.samples == 1   ? PNG_GREY
                             : format.samples == 3 ? PNG_RGB
                                                   : PNG_RGBA;
    PngWriteJob job{img->width, img->height, format.bit_depth, colour, &out, false, {}};
    switch (encode_header(&job)) {
        case EncodeResult::header_written:
            break;
        case EncodeResult::no_write_struct:
            return failure(RK_ERROR_MEMORY, kNoWriteStruct);
        case EncodeResult::no_info_struct:
            return failure(RK_ERROR_MEMORY, kNoInfoStruct);
        case EncodeResult::write_failed:
            return sink_refused();
        case EncodeResult::libpng_error:
            return failure(RK_ERROR_ARGUMENT, std::string(kLibpngError) + job.error.text);
    }
    const PngLayout layout{img->width, img->height, format.bit_depth, colour, format.level};
    switch (write_png_data(out, layout, [&rows](uint32_t y, uint8_t* row) noexcept { rows(y, row); })) {
        case PngDataResult::written:
            return {};
        case PngDataResult::write_failed:
            return sink_refused();
        case PngDataResult::out_of_memory:
            break;
    }
    throw std::bad_alloc();
}

SaveOutcome write_png_file(const imgbuf* img, const std::string& target, const PngFormat& format) {
    if (!has_pixels(img)) return save_failure(RK_ERROR_ARGUMENT, std::string(kNoImage));
    if (!png_format_valid(format)) return save_failure(RK_ERROR_ARGUMENT, std::string(kNoSuchFormat));
    return save_to_file(target, [&](ByteSink& sink) { return encode_png(img, sink, format); });
}

std::u16string write_png(const imgbuf* img, std::u16string_view path, const PngFormat& format) {
    if (!has_pixels(img)) return utf8_to_utf16(kNoImage);
    if (!png_format_valid(format)) return utf8_to_utf16(kNoSuchFormat);
    const auto target = utf16_to_utf8(path);
    if (!target) return u"Could not open output file.";
    return utf8_to_utf16(write_png_file(img, *target, format).message);
}

}  // namespace rk
