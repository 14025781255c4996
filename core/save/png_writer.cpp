#include "save/png_writer.h"

#include <png.h>

#include <algorithm>
#include <new>

#include "imgbuf/imgbuf.h"
#include "common/png_messages.h"
#include "common/utf16.h"
#include "save/output_file.h"
#include "save/png_encoder.h"

namespace rk {
namespace {

constexpr std::u16string_view kNoImage = u"No image to save.";
constexpr std::u16string_view kCouldNotOpen = u"Could not open output file.";
constexpr std::u16string_view kCouldNotWrite = u"Could not write output file.";
constexpr std::u16string_view kCouldNotReplace = u"Could not replace output file.";
constexpr std::u16string_view kNoWriteStruct = u"png_create_write_struct() failed";
constexpr std::u16string_view kNoInfoStruct = u"png_create_info_struct() failed";
constexpr std::u16string_view kLibpngError = u"pnglib error: ";
constexpr std::u16string_view kNoSuchFormat = u"Unsupported PNG bit depth or layout.";

// A host's buffer of RK_MIN_MESSAGE_CAPACITY holds each of these whole, and so
// at least the start of libpng's reasons.
static_assert(std::max({kNoImage.size(), kCouldNotOpen.size(), kCouldNotWrite.size(),
                        kCouldNotReplace.size(), kNoWriteStruct.size(), kNoInfoStruct.size(),
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
    png_set_IHDR(png, info, width, height, job->bit_depth, job->colour_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    result = EncodeResult::header_written;

bailout:
    png_destroy_write_struct(&png, &info);
    return result;
}

}  // namespace

PngWriteOutcome encode_png(const imgbuf* img, ByteSink& out, const PngFormat& format) {
    const auto failure = [](rk_status status, std::u16string_view message) {
        return PngWriteOutcome{status, std::u16string(message)};
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
            return failure(RK_ERROR_WRITE, kCouldNotWrite);
        case EncodeResult::libpng_error:
            return {RK_ERROR_ARGUMENT, std::u16string(kLibpngError) + utf8_to_utf16(job.error.text)};
    }
    const PngLayout layout{img->width, img->height, format.bit_depth, colour, format.level};
    switch (write_png_data(out, layout, [&rows](uint32_t y, uint8_t* row) noexcept { rows(y, row); })) {
        case PngDataResult::written:
            return {RK_OK, {}};
        case PngDataResult::write_failed:
            return failure(RK_ERROR_WRITE, kCouldNotWrite);
        case PngDataResult::out_of_memory:
            break;
    }
    throw std::bad_alloc();
}

PngWriteOutcome write_png_file(const imgbuf* img, const std::string& target,
                               const PngFormat& format) {
    if (!has_pixels(img)) return {RK_ERROR_ARGUMENT, std::u16string(kNoImage)};
    if (!png_format_valid(format)) return {RK_ERROR_ARGUMENT, std::u16string(kNoSuchFormat)};
    if (target.empty()) return {RK_ERROR_WRITE, std::u16string(kCouldNotOpen)};
    OutputFile file(target);
    if (file.failed()) return {RK_ERROR_WRITE, std::u16string(kCouldNotOpen)};
    OutputFileSink sink(file);
    PngWriteOutcome outcome = encode_png(img, sink, format);
    if (outcome.status != RK_OK) return outcome;
    switch (file.commit()) {
        case OutputFile::CommitResult::committed:
            return outcome;
        case OutputFile::CommitResult::write_failed:
            return {RK_ERROR_WRITE, std::u16string(kCouldNotWrite)};
        case OutputFile::CommitResult::replace_failed:
            return {RK_ERROR_WRITE, std::u16string(kCouldNotReplace)};
    }
    return {RK_ERROR_WRITE, std::u16string(kCouldNotWrite)};
}

std::u16string write_png(const imgbuf* img, std::u16string_view path, const PngFormat& format) {
    if (!has_pixels(img)) return std::u16string(kNoImage);
    if (!png_format_valid(format)) return std::u16string(kNoSuchFormat);
    const auto target = utf16_to_utf8(path);
    if (!target) return std::u16string(kCouldNotOpen);
    return write_png_file(img, *target, format).message;
}

}  // namespace rk
