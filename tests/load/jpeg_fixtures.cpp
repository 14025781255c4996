#include "jpeg_fixtures.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

uint8_t pattern(uint32_t x, uint32_t y, int c) {
    return static_cast<uint8_t>(x * 37 + y * 11 + static_cast<uint32_t>(c) * 80 + (x * y) % 7 * 9);
}

struct Trap {
    jpeg_error_mgr pub;
    std::jmp_buf resume;
    char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void trap_exit(j_common_ptr cinfo) {
    auto* trap = reinterpret_cast<Trap*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, trap->text);
    std::longjmp(trap->resume, 1);
}

// Trivially destructible state for the setjmp below; samples come back in a
// malloc'd block.
struct Decode {
    jpeg_decompress_struct cinfo;
    Trap trap;
    uint8_t* samples;
    bool ok;
};

void decode_into(Decode& d, const Bytes& file) {
    d.cinfo.err = jpeg_std_error(&d.trap.pub);
    d.trap.pub.error_exit = trap_exit;
    d.trap.pub.output_message = [](j_common_ptr) {};
    if (setjmp(d.trap.resume)) goto done;
    jpeg_create_decompress(&d.cinfo);
    jpeg_mem_src(&d.cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d.cinfo, TRUE);
    jpeg_start_decompress(&d.cinfo);
    d.samples = static_cast<uint8_t*>(std::malloc(
        size_t{d.cinfo.output_width} * d.cinfo.output_components * d.cinfo.output_height));
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        JSAMPROW row = d.samples + size_t{d.cinfo.output_scanline} * d.cinfo.output_width *
                                       d.cinfo.output_components;
        jpeg_read_scanlines(&d.cinfo, &row, 1);
    }
    jpeg_finish_decompress(&d.cinfo);
    d.ok = true;
done:
    jpeg_destroy_decompress(&d.cinfo);
}

}  // namespace

Bytes make_jpeg(const JpegRecipe& r) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);

    const bool four = r.kind == JpegKind::cmyk || r.kind == JpegKind::ycck;
    cinfo.image_width = r.width;
    cinfo.image_height = r.height;
    cinfo.input_components = r.kind == JpegKind::grey ? 1 : four ? 4 : 3;
    cinfo.in_color_space = r.kind == JpegKind::grey ? JCS_GRAYSCALE : four ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (r.kind == JpegKind::ycck) jpeg_set_colorspace(&cinfo, JCS_YCCK);
    jpeg_set_quality(&cinfo, 85, TRUE);
    if (r.progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = static_cast<int>(r.restart_rows);
    if (r.app1_bytes) cinfo.write_JFIF_header = FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    if (r.app1_bytes) {
        Bytes payload(r.app1_bytes);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, payload.data(), r.app1_bytes);
    }
    Bytes row(size_t{r.width} * cinfo.input_components);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (uint32_t x = 0; x < r.width; ++x)
            for (int c = 0; c < cinfo.input_components; ++c)
                row[x * cinfo.input_components + c] = pattern(x, cinfo.next_scanline, c);
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes file(out, out + out_size);
    std::free(out);
    return file;
}

JpegDecode reference_decode(const Bytes& file) {
    Decode d{};
    decode_into(d, file);
    JpegDecode result;
    result.ok = d.ok;
    if (d.ok) {
        result.width = d.cinfo.output_width;
        result.height = d.cinfo.output_height;
        result.components = d.cinfo.output_components;
        result.samples.assign(d.samples,
                              d.samples + size_t{result.width} * result.height * result.components);
    } else {
        result.error = d.trap.text;
    }
    std::free(d.samples);
    return result;
}

size_t find_marker(const Bytes& file, uint8_t marker) {
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == marker) return i + 2;
    return 0;
}
