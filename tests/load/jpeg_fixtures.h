// JPEG files made with libjpeg's compressor, and libjpeg's own decode of a file
// as the reference the reader must agree with.
#pragma once

#include <cstdint>
#include <string>

#include "load_test_support.h"

enum class JpegKind { grey, rgb, cmyk, ycck };

struct JpegRecipe {
    JpegKind kind = JpegKind::rgb;
    uint32_t width = 16;
    uint32_t height = 16;
    bool progressive = false;
    uint32_t restart_rows = 0;
    // A first marker segment (APP1) of this many payload bytes; 0 for none.
    uint32_t app1_bytes = 0;
};

Bytes make_jpeg(const JpegRecipe& recipe);

struct JpegDecode {
    bool ok = false;
    uint32_t width = 0;
    uint32_t height = 0;
    int components = 0;
    Bytes samples;      // rows of width x components bytes
    std::string error;  // libjpeg's message when !ok
};

// Decodes from memory with libjpeg's own data source, default settings.
JpegDecode reference_decode(const Bytes& file);

// Offset of the first byte after the two-byte marker, or 0 when absent.
size_t find_marker(const Bytes& file, uint8_t marker);
