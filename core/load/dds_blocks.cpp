#include "load/dds_blocks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "load/dds_pixels.h"
#include "load/le_reader.h"

namespace rk::dds {
namespace {

using rgba = std::array<float, 4>;

// Blend factors, fixed to the bit so every platform interpolates alike; the blends
// multiply by them rather than divide.
constexpr float kThird = std::bit_cast<float>(0x3EAAAAABu);    // 0.33333334
constexpr float kSeventh = std::bit_cast<float>(0x3E124925u);  // 0.14285715
constexpr float kFifth = std::bit_cast<float>(0x3E4CCCCDu);    // 0.2

constexpr std::array<float, 16> kOpaque = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

rgba expand_565(uint32_t c) noexcept {
    return {unorm<31>(c >> 11), unorm<63>((c >> 5) & 63), unorm<31>(c & 31), 1.0f};
}

struct ColourBlock {
    std::array<rgba, 4> palette;
    uint32_t indices;  // two bits per pixel, pixel (x, y) at bit 8y + 2x
};

// The 8-byte colour part. Only DXT1 knows the three-colour mode (c0 <= c1), whose
// fourth entry is opaque black; DXT3 and DXT5 always blend four colours.
template <bool ThreeColourMode>
ColourBlock read_colour_block(const uint8_t* b) noexcept {
    const uint32_t c0 = load_le16(b);
    const uint32_t c1 = load_le16(b + 2);
    const rgba e0 = expand_565(c0);
    const rgba e1 = expand_565(c1);
    ColourBlock out{{e0, e1, rgba{0, 0, 0, 1}, rgba{0, 0, 0, 1}}, load_le32(b + 4)};
    rgba& p2 = out.palette[2];
    rgba& p3 = out.palette[3];
    if (ThreeColourMode && c0 <= c1) {
        for (int ch = 0; ch < 3; ++ch) p2[ch] = (e1[ch] + e0[ch]) * 0.5f;
    } else {
        for (int ch = 0; ch < 3; ++ch) {
            p2[ch] = (e0[ch] * 2.0f + e1[ch]) * kThird;
            p3[ch] = (e1[ch] * 2.0f + e0[ch]) * kThird;
        }
    }
    return out;
}

// rows[y] points at the block's first pixel in pixel row y of the block.
void write_block(const ColourBlock& c, const float* alpha, float* const* rows) noexcept {
    for (uint32_t y = 0; y < 4; ++y) {
        float* d = rows[y];
        for (uint32_t x = 0; x < 4; ++x, d += 4) {
            const uint32_t i = 4 * y + x;
            const rgba& p = c.palette[(c.indices >> (2 * i)) & 3];
            put(d, p[0], p[1], p[2], alpha[i]);
        }
    }
}

struct Dxt1 {
    static constexpr uint32_t bytes = 8;
    static void decode(const uint8_t* b, float* const* rows) noexcept {
        write_block(read_colour_block<true>(b), kOpaque.data(), rows);
    }
};

struct Dxt3 {
    static constexpr uint32_t bytes = 16;
    static void decode(const uint8_t* b, float* const* rows) noexcept {
        const uint64_t bits = load_le64(b);  // four bits per pixel
        float alpha[16];
        for (uint32_t i = 0; i < 16; ++i) alpha[i] = unorm<15>((bits >> (4 * i)) & 15);
        write_block(read_colour_block<false>(b + 8), alpha, rows);
    }
};

struct Dxt5 {
    static constexpr uint32_t bytes = 16;
    static void decode(const uint8_t* b, float* const* rows) noexcept {
        const uint32_t a0 = b[0];
        const uint32_t a1 = b[1];
        float palette[8] = {unorm<255>(a0), unorm<255>(a1), 0, 0, 0, 0, 0, 1};
        const float e0 = palette[0];
        const float e1 = palette[1];
        if (a0 > a1) {
            for (int k = 2; k < 8; ++k) {
                const float f = static_cast<float>(k - 1);
                palette[k] = ((7.0f - f) * e0 + f * e1) * kSeventh;
            }
        } else {  // six blends with exact 0 and 1 as entries 6 and 7
            for (int k = 2; k < 6; ++k) {
                const float f = static_cast<float>(k - 1);
                palette[k] = ((5.0f - f) * e0 + f * e1) * kFifth;
            }
        }
        const uint64_t indices = load_le48(b + 2);  // three bits per pixel
        float alpha[16];
        for (uint32_t i = 0; i < 16; ++i) alpha[i] = palette[(indices >> (3 * i)) & 7];
        write_block(read_colour_block<false>(b + 8), alpha, rows);
    }
};

// A block that reaches past the right or bottom edge is decoded into a tile and
// only its pixels inside the image are copied.
template <class Block>
void decode_clipped(const uint8_t* block, float* const* dst, uint32_t cols,
                    uint32_t rows) noexcept {
    alignas(16) float tile[4][16];
    float* const tile_rows[4] = {tile[0], tile[1], tile[2], tile[3]};
    Block::decode(block, tile_rows);
    for (uint32_t y = 0; y < rows; ++y) std::memcpy(dst[y], tile[y], size_t{cols} * 16);
}

template <class Block>
void decode_block_row(imgbuf* img, uint32_t index, const uint8_t* src) noexcept {
    const uint32_t y0 = index * 4;
    const uint32_t rows = std::min(4u, img->height - y0);
    const uint32_t whole = img->width / 4;
    const uint32_t tail = img->width % 4;
    float* dst[4] = {};
    for (uint32_t y = 0; y < rows; ++y) dst[y] = row_unchecked(img, y0 + y);

    if (rows == 4) {
        for (uint32_t k = 0; k < whole; ++k, src += Block::bytes) {
            Block::decode(src, dst);
            for (float*& d : dst) d += 16;
        }
    } else {
        for (uint32_t k = 0; k < whole; ++k, src += Block::bytes) {
            decode_clipped<Block>(src, dst, 4, rows);
            for (uint32_t y = 0; y < rows; ++y) dst[y] += 16;
        }
    }
    if (tail != 0) decode_clipped<Block>(src, dst, tail, rows);
}

}  // namespace

void decode_dxt1_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept {
    decode_block_row<Dxt1>(img, index, source);
}

void decode_dxt3_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept {
    decode_block_row<Dxt3>(img, index, source);
}

void decode_dxt5_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept {
    decode_block_row<Dxt5>(img, index, source);
}

}  // namespace rk::dds
