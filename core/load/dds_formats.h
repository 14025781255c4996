// The DDS pixel layouts this library reads, and their row decoders.
//
// A file's layout is found by comparing its whole DDS_PIXELFORMAT with the
// templates below; the matching record then names the decoder, so the choice is
// made once per file and the decoding loops hold no tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "imgbuf/imgbuf.h"

namespace rk {

// DDS_PIXELFORMAT as stored in the file (eight little-endian words).
struct DdsPixelFormat {
    uint32_t size;
    uint32_t flags;
    uint32_t fourcc;
    uint32_t rgb_bit_count;
    uint32_t red_mask;
    uint32_t green_mask;
    uint32_t blue_mask;
    uint32_t alpha_mask;

    friend bool operator==(const DdsPixelFormat&, const DdsPixelFormat&) = default;
};
static_assert(sizeof(DdsPixelFormat) == 32, "mirrors the 32 bytes of the file");

enum DdsLayout : uint32_t {
    DDS_LAYOUT_BLOCKS,  // 4 x 4 blocks; a decoder's index counts rows of blocks
    DDS_LAYOUT_BITS,    // whole pixels of a number of bits; the index counts pixel rows
};

// Fills pixel row index (DDS_LAYOUT_BITS) or the rows of the row of blocks index
// that lie inside the image (DDS_LAYOUT_BLOCKS) from one stored row. The caller
// guarantees that the image has pixels, that the row or row of blocks starts
// inside it and that source holds one whole stored row; nothing is checked here.
using DdsDecodeFn = void (*)(imgbuf* img, uint32_t index, const uint8_t* source) noexcept;

struct DdsFormat {
    DdsPixelFormat pixel_format;
    DdsDecodeFn decode_row;
    uint32_t layout;
    uint32_t block_bytes;     // bytes per block of DDS_LAYOUT_BLOCKS, else 0
    uint32_t bits_per_pixel;  // FourCC per-pixel layouts; 0 where the file gives it
};

// Searched in this order, first match wins: all 20 mask-described templates,
// then the 7 FourCC templates.
extern const std::array<DdsFormat, 20> dds_rgb_formats;
extern const std::array<DdsFormat, 7> dds_fourcc_formats;

// The record whose template equals pf, or null.
const DdsFormat* find_dds_format(const DdsPixelFormat& pf) noexcept;

// Bytes of one stored row (or row of blocks) of a width-pixel image. Nothing when
// the computation would not fit 32 bits.
std::optional<uint32_t> dds_row_pitch(const DdsFormat& format, uint32_t width) noexcept;

// Stored rows (or rows of blocks) that cover a height-row image; partial rows of
// blocks at the bottom count.
uint32_t dds_stored_rows(const DdsFormat& format, uint32_t height) noexcept;

}  // namespace rk
