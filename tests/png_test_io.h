// PNG files for the tests, made and read with libpng directly: fixtures with full
// control over layout and chunks, a decoder and chunk surgery.
#pragma once

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reliefkit.h"
#include "sink_recorder.h"
#include "temp_dir.h"

namespace png_test {

using Bytes = std::vector<uint8_t>;

struct Fixture {
    uint32_t width = 1;
    uint32_t height = 1;
    int bit_depth = 8;
    int color_type = PNG_COLOR_TYPE_RGB;
    bool interlaced = false;
    Bytes rows;  // as stored: samples packed high bits first, 16-bit big-endian
    std::vector<png_color> palette;
    Bytes palette_alpha;                   // tRNS of a palette image
    std::optional<png_color_16> trns_key;  // tRNS of a grey or RGB image
    std::optional<double> gamma;           // gAMA chunk
};

inline size_t row_bytes(const Fixture& f) {
    static const int kSamples[] = {1, 0, 3, 1, 2, 0, 4};
    return (size_t{f.width} * kSamples[f.color_type] * f.bit_depth + 7) / 8;
}

// Packs one row of samples (one per pixel and channel) at the fixture's depth.
inline Bytes pack_row(const std::vector<uint32_t>& samples, int depth) {
    Bytes out;
    if (depth >= 8) {
        for (uint32_t s : samples) {
            if (depth == 16) out.push_back(static_cast<uint8_t>(s >> 8));
            out.push_back(static_cast<uint8_t>(s));
        }
        return out;
    }
    out.assign((samples.size() * depth + 7) / 8, 0);
    for (size_t i = 0; i < samples.size(); ++i) {
        const size_t bit = i * depth;
        out[bit / 8] |= static_cast<uint8_t>(samples[i] << (8 - depth - bit % 8));
    }
    return out;
}

namespace detail {
// Plain C-style: only pointers and trivially destructible values, as libpng
// leaves this frame by longjmp on errors (quietly: warnings are dropped).
inline bool encode(const Fixture* f, std::vector<png_bytep>* row_ptrs, Bytes* out) {
    png_structp png = png_create_write_struct(
        PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
        [](png_structp, png_const_charp) {});
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (!info) goto done;
    if (setjmp(png_jmpbuf(png))) goto done;
    png_set_write_fn(
        png, out,
        [](png_structp p, png_bytep data, size_t n) {
            auto* bytes = static_cast<Bytes*>(png_get_io_ptr(p));
            bytes->insert(bytes->end(), data, data + n);
        },
        [](png_structp) {});
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);  // sides past a million too
    png_set_IHDR(png, info, f->width, f->height, f->bit_depth, f->color_type,
                 f->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!f->palette.empty()) {
        png_set_PLTE(png, info, f->palette.data(), static_cast<int>(f->palette.size()));
    }
    if (!f->palette_alpha.empty()) {
        png_set_tRNS(png, info, f->palette_alpha.data(), static_cast<int>(f->palette_alpha.size()),
                     nullptr);
    }
    if (f->trns_key) png_set_tRNS(png, info, nullptr, 0, &*f->trns_key);
    if (f->gamma) png_set_gAMA(png, info, *f->gamma);
    png_write_info(png, info);
    png_write_image(png, row_ptrs->data());
    png_write_end(png, info);
    ok = true;
done:
    png_destroy_write_struct(&png, &info);
    return ok;
}

}  // namespace detail

// The PNG file of a fixture; empty when libpng refused it.
inline Bytes encode(const Fixture& f) {
    Fixture copy = f;
    copy.rows.resize(row_bytes(f) * f.height);
    std::vector<png_bytep> row_ptrs(f.height);
    for (uint32_t y = 0; y < f.height; ++y) row_ptrs[y] = copy.rows.data() + y * row_bytes(f);
    Bytes out;
    if (!detail::encode(&copy, &row_ptrs, &out)) out.clear();
    return out;
}

// The pixels of a file as 8-bit RGB.
struct Decoded {
    uint32_t width, height;
    Bytes pixels;
};

inline std::optional<Decoded> decode(const Bytes& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    Bytes pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return std::nullopt;
    return Decoded{image.width, image.height, std::move(pixels)};
}

struct Chunk {
    std::string type;
    size_t offset;  // of the length field
    uint32_t length;
};

// The chunks after the signature, in file order; stops at a chunk that overruns.
inline std::vector<Chunk> chunks(const Bytes& file) {
    std::vector<Chunk> out;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        const uint32_t len = uint32_t{file[pos]} << 24 | uint32_t{file[pos + 1]} << 16 |
                             uint32_t{file[pos + 2]} << 8 | file[pos + 3];
        if (len > file.size() - pos - 12) break;
        out.push_back({std::string(file.begin() + pos + 4, file.begin() + pos + 8), pos, len});
        pos += 12 + size_t{len};
    }
    return out;
}

inline std::optional<Chunk> find_chunk(const Bytes& file, const std::string& type) {
    for (const Chunk& c : chunks(file))
        if (c.type == type) return c;
    return std::nullopt;
}

// A chunk of the given type and data, CRC included.
inline Bytes make_chunk(const std::string& type, const Bytes& data) {
    const auto n = static_cast<uint32_t>(data.size());
    Bytes out(12 + data.size());
    auto put32 = [&out](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put32(0, n);
    for (size_t i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(type[i]);
    for (size_t i = 0; i < data.size(); ++i) out[8 + i] = data[i];
    put32(8 + data.size(), ::crc32(0, out.data() + 4, static_cast<uInt>(4 + data.size())));
    return out;
}

}  // namespace png_test
