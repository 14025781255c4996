// The JPEG reader: libjpeg (version-62 interface) with a data source of our own,
// RGB and greyscale output converted to float RGBA.
//
// libjpeg reports errors through an error-exit method that must not return. We
// leave it with longjmp, so everything between the setjmp and libjpeg's frames
// is plain C-style code over one trivially destructible session record: no C++
// destructor can be skipped and no exception ever passes through libjpeg.
#include <csetjmp>
#include <cstdint>
#include <type_traits>

// jpeglib.h needs FILE and size_t declared before it.
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include "common/checked_size.h"
#include "common/sink.h"
#include "common/thread_pool.h"
#include "common/file_io.h"
#include "load/readers.h"
#include "load/row_batches.h"

namespace rk {
namespace {

constexpr uint32_t kInputBlock = 4096;

struct ErrorTrap {
    jpeg_error_mgr pub;  // first, so that libjpeg's pointer to it leads back here
    std::jmp_buf resume;
    bool not_a_jpeg;
    int msg_code;  // of the error that ended the decode
    // Why the decode was left as damaged, when our own checks left it: the
    // picture's data ran out (JpegCut::refuse), or it has too many scans.
    const char* refusal;
};

struct InputSource {
    jpeg_source_mgr pub;  // first, as above
    uint8_t* buffer;      // kInputBlock bytes
    ByteCursor* input;
    bool at_end;
};

// Everything a decode touches between setjmp and longjmp lives here, outside the
// frame that calls setjmp, so its values are well defined after the jump.
struct JpegSession {
    jpeg_decompress_struct cinfo;
    ErrorTrap trap;
    InputSource source;
    jpeg_progress_mgr progress;
    imgbuf* image;  // owned by the caller once decode() returns
    bool decoded;
    rk_status failure;  // what a failed decode means, beyond libjpeg's error
};
static_assert(std::is_trivially_destructible_v<JpegSession>);

// Per thread, so that concurrent loads cannot mix their messages.
thread_local char t_error_text[JMSG_LENGTH_MAX];

[[noreturn]] void leave_libjpeg(j_common_ptr cinfo) {
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, t_error_text);
    debug_output("jpeglib error:\n");
    debug_output(t_error_text);
    // Only a missing start-of-image marker means "not a JPEG"; every other error is
    // a JPEG that cannot be decoded, which ends the dispatch.
    trap->not_a_jpeg = cinfo->err->msg_code == JERR_NO_SOI;
    trap->msg_code = cinfo->err->msg_code;
    std::longjmp(trap->resume, 1);
}

// libjpeg's own output method prints warnings (a corrupt or truncated scan) on the
// host's stderr; a library has no business there, so they go to the sink too.
void route_warning(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    debug_output("jpeglib warning: ");
    debug_output(text);
}

bool is_restart_marker(int marker) noexcept {
    return marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7;  // RST0 to RST7
}

// libjpeg's own emitter, which shows the first warning and counts the rest,
// with one addition: the entropy decoder asking for more bits once it has met
// a marker means the scan's data stopped short, and the decode is left at
// once, before a row of made-up grey is converted (a few hundred bytes ending
// in a marker could otherwise state a picture of gigabytes). libjpeg warns so
// only when bits are really missing, never when it merely looks ahead at the
// marker that follows a whole scan, so a whole file never asks for them, nor
// one that only lacks its end marker. The marker met may be the file's end,
// the one the source gives where the data runs out, or any other (a comment,
// the next scan's header): all leave the scan's blocks made up. A restart
// marker is the exception, as before: it is there to pick the decode up again
// after damaged data, and libjpeg resumes at it.
void emit_refusing_cut(j_common_ptr cinfo, int level) {
    jpeg_error_mgr* err = cinfo->err;
    if (level >= 0) {
        if (err->trace_level >= level) (*err->output_message)(cinfo);
        return;
    }
    const auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    const auto* src = reinterpret_cast<const InputSource*>(dinfo->src);
    if (err->msg_code == JWRN_HIT_MARKER && src &&
        (src->at_end || !is_restart_marker(dinfo->unread_marker))) {
        auto* trap = reinterpret_cast<ErrorTrap*>(err);
        trap->refusal = "Image data cut short.";
        std::longjmp(trap->resume, 1);
    }
    if (err->num_warnings == 0 || err->trace_level >= 3) (*err->output_message)(cinfo);
    err->num_warnings++;
}

// Each scan of a progressive picture is a pass over all its blocks, so a file
// of a few hundred kilobytes holding thousands of near-empty scans keeps a
// decode busy for half a minute and more (20000 scans of 4096 x 4096 pixels:
// over 30 s), holding a work slot of `reliefkit serve` all that time. Real
// encoders write about ten scans, optimising ones some dozens; libjpeg-turbo's
// own documentation names 500 as a limit that stops such files and no real
// picture. A file past it is refused as damaged, whichever load reads it.
constexpr int kMaxScans = 500;

// libjpeg calls its progress monitor at least once a row of blocks while it
// reads the scans, so the decode is left soon after the scan past the limit
// starts.
void refuse_too_many_scans(j_common_ptr cinfo) {
    if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxScans) return;
    auto* trap = reinterpret_cast<ErrorTrap*>(cinfo->err);
    trap->refusal = "Image data has too many scans.";
    std::longjmp(trap->resume, 1);
}

void source_nothing(j_decompress_ptr) {}

boolean source_refill(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<InputSource*>(cinfo->src);
    uint32_t n = src->at_end ? 0 : src->input->read_some(src->buffer, kInputBlock);
    // A read the system refused is no end of the file: finishing the picture
    // with an end marker would hand back grey rows as a decoded image.
    if (n == 0 && src->input->source().read_failed()) ERREXIT(cinfo, JERR_FILE_READ);
    if (n == 0) {
        // At the end of the file an end-of-image marker lets libjpeg finish with what
        // it has instead of decoding stale bytes without end.
        if (!src->at_end) WARNMS(cinfo, JWRN_JPEG_EOF);
        src->at_end = true;
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    return TRUE;
}

void source_skip(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    auto* src = reinterpret_cast<InputSource*>(cinfo->src);
    while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
        count -= static_cast<long>(src->pub.bytes_in_buffer);
        source_refill(cinfo);
        // Past the end there is nothing to skip; the end marker stays for libjpeg.
        if (src->at_end) return;
    }
    src->pub.next_input_byte += count;
    src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void install_source(JpegSession& s) {
    jpeg_source_mgr& pub = s.source.pub;
    pub.next_input_byte = nullptr;
    pub.bytes_in_buffer = 0;
    pub.init_source = source_nothing;
    pub.fill_input_buffer = source_refill;
    pub.skip_input_data = source_skip;
    pub.resync_to_restart = jpeg_resync_to_restart;
    pub.term_source = source_nothing;
    s.cinfo.src = &pub;
}

using RowConverter = void (*)(const JSAMPLE* src, float* dst, uint32_t width) noexcept;

void rgb_row(const JSAMPLE* src, float* dst, uint32_t width) noexcept {
    for (uint32_t x = 0; x < width; ++x, src += 3, dst += 4) {
        dst[0] = static_cast<float>(src[0]) / 255.0f;
        dst[1] = static_cast<float>(src[1]) / 255.0f;
        dst[2] = static_cast<float>(src[2]) / 255.0f;
        dst[3] = 1.0f;
    }
}

void grey_row(const JSAMPLE* src, float* dst, uint32_t width) noexcept {
    for (uint32_t x = 0; x < width; ++x, ++src, dst += 4) {
        const float v = static_cast<float>(*src) / 255.0f;
        dst[0] = v;
        dst[1] = v;
        dst[2] = v;
        dst[3] = 1.0f;
    }
}

// Null for CMYK, YCCK and anything else libjpeg delivers that is not RGB or grey.
RowConverter converter_for(const jpeg_decompress_struct& cinfo) {
    if (cinfo.out_color_space == JCS_RGB && cinfo.output_components == 3) return rgb_row;
    if (cinfo.out_color_space == JCS_GRAYSCALE && cinfo.output_components == 1) return grey_row;
    return nullptr;
}

// The reason a picture converter_for() has no converter for is refused.
const char* colour_space_refusal(J_COLOR_SPACE space) noexcept {
    switch (space) {
        case JCS_CMYK:
            return "Colour space CMYK not supported.";
        case JCS_YCCK:
            return "Colour space YCCK not supported.";
        default:
            return "Colour space not supported (neither RGB nor grey).";
    }
}

// What libjpeg's error means: most say the data is damaged; a few name
// something the decoder does not do, or its memory.
rk_status status_of_libjpeg_error(int code) noexcept {
    switch (code) {
        case JERR_OUT_OF_MEMORY:
            return RK_ERROR_MEMORY;
        case JERR_FILE_READ:
            return RK_ERROR_IO;
        case JERR_IMAGE_TOO_BIG:
        case JERR_WIDTH_OVERFLOW:
            return RK_ERROR_LIMIT;
        case JERR_BAD_PRECISION:
        case JERR_CONVERSION_NOTIMPL:
        case JERR_NOTIMPL:
        case JERR_NOT_COMPILED:
        case JERR_SOF_UNSUPPORTED:  // lossless or hierarchical coding
            return RK_ERROR_UNSUPPORTED;
        default:
            return RK_ERROR_DAMAGED;
    }
}

// Whether every coefficient of a progressive picture has had its last
// refinement (libjpeg counts -1 for none yet, else the bits still to come).
bool progression_complete(const jpeg_decompress_struct& cinfo) noexcept {
    if (!cinfo.progressive_mode || !cinfo.coef_bits) return true;
    for (int c = 0; c < cinfo.num_components; ++c)
        for (int k = 0; k < DCTSIZE2; ++k)
            if (cinfo.coef_bits[c][k] != 0) return false;
    return true;
}

void reader_failure(const char* reason) {
    debug_output("JPEG image loader: ");
    debug_output(reason);
}

// The temporary owner ends inside this call, never in a frame longjmp crosses.
imgbuf* new_image(uint32_t w, uint32_t h) {
    return make_image(w, h).release();
}

// Rows are decoded in batches of several of libjpeg's recommended height into
// buffers from its image pool, which jpeg_destroy_decompress releases on every
// path; each batch is converted on all threads (no libjpeg call runs meanwhile,
// so no longjmp can leave the threads' frames).
void read_rows(jpeg_decompress_struct& cinfo, imgbuf* image, RowConverter convert) {
    const JDIMENSION step = static_cast<JDIMENSION>(cinfo.rec_outbuf_height);
    const JDIMENSION row_samples =
        cinfo.output_width * static_cast<JDIMENSION>(cinfo.output_components);
    // Enough rows for every thread to get a band, as the other readers' batches.
    const JDIMENSION wanted = rows_per_batch(row_samples, cinfo.output_height);
    const JDIMENSION batch = step * ((wanted + step - 1) / step);
    JSAMPARRAY rows = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                 JPOOL_IMAGE, row_samples, batch);
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        JDIMENSION n = 0;
        while (n < batch && cinfo.output_scanline < cinfo.output_height) {
            const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows + n, batch - n);
            // Our source never suspends; should nothing come back all the same,
            // stop and let jpeg_finish_decompress report the missing rows.
            if (got == 0) break;
            n += got;
        }
        if (n == 0) break;
        const uint32_t width = cinfo.output_width;
        parallel_rows(n, kMinThreadRows, [&](uint32_t k0, uint32_t k1) noexcept {
            for (uint32_t k = k0; k < k1; ++k)
                convert(rows[k], row_unchecked(image, first + k), width);
        });
        if (n < batch && cinfo.output_scanline < cinfo.output_height) break;
    }
}

bool decode(JpegSession& s, JpegCut cut) noexcept {
    s.cinfo.err = jpeg_std_error(&s.trap.pub);
    s.trap.pub.error_exit = leave_libjpeg;
    s.trap.pub.output_message = route_warning;
    if (cut == JpegCut::refuse) s.trap.pub.emit_message = emit_refusing_cut;
    if (setjmp(s.trap.resume)) {
        if (s.trap.refusal) {
            reader_failure(s.trap.refusal);
            s.failure = RK_ERROR_DAMAGED;
        }
        goto cleanup;
    }

    jpeg_create_decompress(&s.cinfo);
    install_source(s);
    s.progress.progress_monitor = refuse_too_many_scans;
    s.cinfo.progress = &s.progress;
    jpeg_read_header(&s.cinfo, TRUE);
    // Known before libjpeg sizes any buffer for the picture.
    jpeg_calc_output_dimensions(&s.cinfo);
    if (!within_pixel_limit(s.cinfo.output_width, s.cinfo.output_height)) {
        reader_failure("Image data too large.");
        s.failure = RK_ERROR_LIMIT;
        goto cleanup;
    }
    // Known from the header too: said before any of the data is decoded.
    if (!converter_for(s.cinfo)) {
        reader_failure(colour_space_refusal(s.cinfo.jpeg_color_space));
        s.failure = RK_ERROR_UNSUPPORTED;
        goto cleanup;
    }
    jpeg_start_decompress(&s.cinfo);
    // A picture of several scans is read whole by now. One whose data ended
    // after a scan that is not its last asked the entropy decoder for no
    // missing bits, yet it is as cut as one ending inside a scan: its scans
    // so far make a blurred picture.
    if (cut == JpegCut::refuse && s.source.at_end && !progression_complete(s.cinfo)) {
        reader_failure("Image data cut short.");
        s.failure = RK_ERROR_DAMAGED;
        goto cleanup;
    }
    s.image = new_image(s.cinfo.output_width, s.cinfo.output_height);
    if (!s.image) {
        reader_failure("Not enough memory.");
        s.failure = RK_ERROR_MEMORY;
        goto cleanup;
    }
    read_rows(s.cinfo, s.image, converter_for(s.cinfo));
    jpeg_finish_decompress(&s.cinfo);
    s.decoded = s.image != nullptr;

cleanup:
    // Safe also when creation itself failed: the record was zeroed beforehand.
    jpeg_destroy_decompress(&s.cinfo);
    return s.decoded;
}

}  // namespace

ImgbufPtr read_jpeg(ByteSource& source, rk_status& status, JpegCut cut) {
    ByteCursor input(source);
    auto buffer = zeroed_block(kInputBlock);

    JpegSession session{};
    session.source.buffer = buffer.get();
    session.source.input = &input;
    const bool decoded = decode(session, cut);
    ImgbufPtr image(session.image);
    if (decoded) {
        status = RK_OK;
        return image;
    }
    status = session.trap.not_a_jpeg ? RK_ERROR_FORMAT
             : session.failure        ? session.failure
                                      : status_of_libjpeg_error(session.trap.msg_code);
    return nullptr;
}

ImgbufPtr load_jpeg(std::u16string_view path, bool& not_my_format) {
    rk_status status = RK_OK;
    ImgbufPtr image = read_from_path(path, [&](ByteSource& source) {
        return read_jpeg(source, status, JpegCut::finish);
    });
    not_my_format = status == RK_ERROR_FORMAT;
    return image;
}

}  // namespace rk
