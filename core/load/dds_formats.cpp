#include "load/dds_formats.h"

#include <algorithm>

#include "load/dds_blocks.h"
#include "load/dds_pixels.h"

namespace rk {
namespace {

constexpr uint32_t kPixelFormatBytes = 32;
constexpr uint32_t kRgb = 0x40;
constexpr uint32_t kRgbAlpha = 0x41;
constexpr uint32_t kAlphaOnly = 0x02;
// Luminance layouts keep this flag alone, alpha mask or not.
constexpr uint32_t kLuminance = 0x20000;
constexpr uint32_t kFourcc = 0x04;

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

constexpr DdsFormat masked(uint32_t flags, uint32_t bits, uint32_t r, uint32_t g, uint32_t b,
                            uint32_t a, DdsDecodeFn decode) {
    return {{kPixelFormatBytes, flags, 0, bits, r, g, b, a}, decode, DDS_LAYOUT_BITS, 0, 0};
}

constexpr DdsFormat blocks(uint32_t code, uint32_t block_bytes, DdsDecodeFn decode) {
    return {{kPixelFormatBytes, kFourcc, code, 0, 0, 0, 0, 0},
            decode,
            DDS_LAYOUT_BLOCKS,
            block_bytes,
            0};
}

constexpr DdsFormat pixels(uint32_t code, uint32_t bits, DdsDecodeFn decode) {
    return {{kPixelFormatBytes, kFourcc, code, 0, 0, 0, 0, 0}, decode, DDS_LAYOUT_BITS, 0, bits};
}

using namespace dds;

}  // namespace

// The order is the search order. The A2B10G10R10 template names no alpha mask
// although its decoder reads alpha from the top two bits; files that do name the
// mask match nothing.
constinit const std::array<DdsFormat, 20> dds_rgb_formats = {
    masked(kRgbAlpha, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000,
           decode_pixels<A8B8G8R8<true>>),
    masked(kRgbAlpha, 32, 0x0000FFFF, 0xFFFF0000, 0, 0, decode_pixels<G16R16>),
    masked(kRgbAlpha, 32, 0x000003FF, 0x000FFC00, 0x3FF00000, 0, decode_pixels<A2B10G10R10>),
    masked(kRgb, 32, 0x0000FFFF, 0xFFFF0000, 0, 0, decode_pixels<G16R16>),
    masked(kRgbAlpha, 16, 0x7C00, 0x03E0, 0x001F, 0x8000, decode_pixels<A1R5G5B5<true>>),
    masked(kRgb, 16, 0xF800, 0x07E0, 0x001F, 0, decode_pixels<R5G6B5>),
    masked(kAlphaOnly, 8, 0, 0, 0, 0xFF, decode_pixels<A8>),
    masked(kRgbAlpha, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000,
           decode_pixels<A8R8G8B8<true>>),
    masked(kRgb, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, decode_pixels<A8R8G8B8<false>>),
    masked(kRgb, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0, decode_pixels<A8B8G8R8<false>>),
    masked(kRgbAlpha, 32, 0x3FF00000, 0x000FFC00, 0x000003FF, 0xC0000000,
           decode_pixels<A2R10G10B10>),
    masked(kRgb, 24, 0x00FF0000, 0x0000FF00, 0x000000FF, 0, decode_pixels<R8G8B8>),
    masked(kRgb, 16, 0x7C00, 0x03E0, 0x001F, 0, decode_pixels<A1R5G5B5<false>>),
    masked(kRgbAlpha, 16, 0x0F00, 0x00F0, 0x000F, 0xF000, decode_pixels<A4R4G4B4<true>>),
    masked(kRgb, 16, 0x0F00, 0x00F0, 0x000F, 0, decode_pixels<A4R4G4B4<false>>),
    masked(kRgbAlpha, 16, 0x00E0, 0x001C, 0x0003, 0xFF00, decode_pixels<A8R3G3B2>),
    masked(kLuminance, 16, 0x00FF, 0, 0, 0xFF00, decode_pixels<A8L8>),
    masked(kLuminance, 16, 0xFFFF, 0, 0, 0, decode_pixels<L16>),
    masked(kLuminance, 8, 0xFF, 0, 0, 0, decode_pixels<L8>),
    masked(kLuminance, 8, 0x0F, 0, 0, 0xF0, decode_pixels<A4L4>),
};

constinit const std::array<DdsFormat, 7> dds_fourcc_formats = {
    blocks(fourcc('D', 'X', 'T', '1'), 8, decode_dxt1_row),
    blocks(fourcc('D', 'X', 'T', '3'), 16, decode_dxt3_row),
    blocks(fourcc('D', 'X', 'T', '5'), 16, decode_dxt5_row),
    pixels(36, 64, decode_pixels<A16B16G16R16>),
    pixels(114, 32, decode_pixels<R32F>),
    pixels(115, 64, decode_pixels<G32R32F>),
    pixels(116, 128, decode_a32b32g32r32f),
};

const DdsFormat* find_dds_format(const DdsPixelFormat& pf) noexcept {
    for (const DdsFormat& f : dds_rgb_formats) {
        if (f.pixel_format == pf) return &f;
    }
    for (const DdsFormat& f : dds_fourcc_formats) {
        if (f.pixel_format == pf) return &f;
    }
    return nullptr;
}

std::optional<uint32_t> dds_row_pitch(const DdsFormat& format, uint32_t width) noexcept {
    // Every step is taken in 64 bits and must stay below 2^32, so a row length
    // never wraps into a buffer shorter than the row a decoder reads.
    constexpr uint64_t kLimit = uint64_t{1} << 32;
    uint64_t pitch = 0;
    if (format.layout == DDS_LAYOUT_BLOCKS) {
        if (uint64_t{width} + 3 >= kLimit) return std::nullopt;
        pitch = std::max<uint64_t>(1, (uint64_t{width} + 3) / 4) * format.block_bytes;
    } else {
        const uint32_t bits =
            format.bits_per_pixel ? format.bits_per_pixel : format.pixel_format.rgb_bit_count;
        const uint64_t total_bits = uint64_t{width} * bits + 7;
        if (total_bits >= kLimit) return std::nullopt;
        pitch = total_bits / 8;
    }
    if (pitch >= kLimit) return std::nullopt;
    return static_cast<uint32_t>(pitch);
}

uint32_t dds_stored_rows(const DdsFormat& format, uint32_t height) noexcept {
    if (format.layout != DDS_LAYOUT_BLOCKS) return height;
    return static_cast<uint32_t>((uint64_t{height} + 3) / 4);
}

}  // namespace rk
