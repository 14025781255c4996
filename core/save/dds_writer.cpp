#include "save/dds_writer.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/block_cache.h"
#include "common/thread_pool.h"
#include "save/bc_blocks.h"
#include "save/mip_chain.h"

namespace rk {
namespace {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// The header fields the writer sets (DirectDraw's names).
constexpr uint32_t kHeaderSize = 124;
constexpr uint32_t kPixelFormatSize = 32;
constexpr uint32_t kFlagsCaps = 0x1, kFlagsHeight = 0x2, kFlagsWidth = 0x4,
                   kFlagsPixelFormat = 0x1000, kFlagsMipMapCount = 0x20000,
                   kFlagsLinearSize = 0x80000;
constexpr uint32_t kPixelFourCC = 0x4;
constexpr uint32_t kCapsComplex = 0x8, kCapsTexture = 0x1000, kCapsMipMap = 0x400000;
constexpr uint32_t kDxgiBc7 = 98, kDxgiBc7Srgb = 99;
constexpr uint32_t kDimensionTexture2d = 3;

uint32_t block_bytes(DdsFormat format) noexcept {
    return format == DdsFormat::bc4 ? kBc4BlockBytes : 2 * kBc4BlockBytes;
}

std::vector<uint8_t> dds_header(const DdsOptions& options, uint32_t width, uint32_t height,
                                uint32_t levels) {
    std::vector<uint8_t> out;
    const auto put = [&out](uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(fourcc('D', 'D', 'S', ' '));
    put(kHeaderSize);
    put(kFlagsCaps | kFlagsHeight | kFlagsWidth | kFlagsPixelFormat | kFlagsMipMapCount |
        kFlagsLinearSize);
    put(height);
    put(width);
    put(static_cast<uint32_t>(dds_level_bytes(options.format, width, height)));
    put(0);  // depth
    put(levels);
    for (int i = 0; i < 11; ++i) put(0);
    put(kPixelFormatSize);
    put(kPixelFourCC);
    put(options.format == DdsFormat::bc4   ? fourcc('A', 'T', 'I', '1')
        : options.format == DdsFormat::bc5 ? fourcc('A', 'T', 'I', '2')
                                           : fourcc('D', 'X', '1', '0'));
    for (int i = 0; i < 5; ++i) put(0);  // bit count and masks
    put(kCapsTexture | (levels > 1 ? kCapsComplex | kCapsMipMap : 0));
    for (int i = 0; i < 4; ++i) put(0);  // caps2, caps3, caps4, reserved
    if (options.format == DdsFormat::bc7) {
        put(options.srgb ? kDxgiBc7Srgb : kDxgiBc7);
        put(kDimensionTexture2d);
        put(0);  // misc flags
        put(1);  // array size
        put(0);  // alpha mode not stated
    }
    return out;
}

// The 16 pixels of block (bx, by) in stored values; pixels past the level's
// edge repeat the edge. Level 0 is the image itself: its normals are
// renormalised here, pixel by pixel, rather than in a whole copy of it.
void gather_block(const imgbuf* level, bool first, uint32_t bx, uint32_t by, MipSpace space,
                  float out[64]) noexcept {
    for (uint32_t j = 0; j < 4; ++j) {
        const float* row = row_unchecked(level, std::min(4 * by + j, level->height - 1));
        for (uint32_t i = 0; i < 4; ++i) {
            const float* p = row + 4 * size_t{std::min(4 * bx + i, level->width - 1)};
            float* q = out + 16 * j + 4 * i;
            std::copy_n(p, 4, q);
            // Level 0's other stored values are encoded as they are.
            if (first && space != MipSpace::normal) continue;
            if (first) to_filter_pixel(q, space);
            from_filter_space(q, space);
        }
    }
}

// Encodes a level's blocks into out (dds_level_bytes long), bands of block rows
// in parallel; a block's bytes depend on its pixels alone.
void encode_level(const imgbuf* level, bool first, MipSpace space, DdsFormat format,
                  uint8_t* out) noexcept {
    const uint32_t across = (level->width + 3) / 4;
    const uint32_t down = (level->height + 3) / 4;
    const uint32_t bytes = block_bytes(format);
    parallel_rows(down, 4, [&](uint32_t b0, uint32_t b1) noexcept {
        float px[64];
        float channel[16];
        for (uint32_t by = b0; by < b1; ++by) {
            for (uint32_t bx = 0; bx < across; ++bx) {
                uint8_t* block = out + (size_t{by} * across + bx) * bytes;
                gather_block(level, first, bx, by, space, px);
                if (format == DdsFormat::bc7) {
                    encode_bc7_block(px, block);
                    continue;
                }
                // BC5 is a BC4 block of red followed by one of green.
                const int channels = format == DdsFormat::bc5 ? 2 : 1;
                for (int c = 0; c < channels; ++c) {
                    for (int i = 0; i < 16; ++i) channel[i] = px[4 * i + c];
                    encode_bc4_block(channel, block + c * kBc4BlockBytes);
                }
            }
        }
    });
}

SaveOutcome encode_file(const imgbuf* img, const DdsOptions& options, ByteSink& sink) {
    const uint32_t levels = options.mipmaps ? mip_level_count(img->width, img->height) : 1;
    const std::vector<uint8_t> header = dds_header(options, img->width, img->height, levels);
    if (!sink.write(header.data(), header.size())) return sink_refused();

    const MipSpace space = options.normal_map ? MipSpace::normal
                           : options.srgb     ? MipSpace::srgb
                                              : MipSpace::plain;
    // Level 0 is encoded from the image itself and level 1 made from it, each
    // pixel taken to the filter's space as it is read (sRGB colour goes to
    // linear light only for the filter), so no whole copy of the image is made.
    ImgbufPtr work;
    const imgbuf* level = img;
    // Level 0's blocks (16 MiB for a 4096 x 4096 BC7 file) come from the block
    // cache, like the images; encode_level writes every byte of a level.
    const Block blocks(dds_level_bytes(options.format, img->width, img->height));
    if (!blocks) return out_of_memory();
    for (uint32_t i = 0; i < levels; ++i) {
        const size_t size = dds_level_bytes(options.format, level->width, level->height);
        encode_level(level, i == 0, space, options.format, blocks.get<uint8_t>());
        if (!sink.write(blocks.get(), size)) return sink_refused();
        if (i + 1 == levels) break;
        ImgbufPtr next = next_mip_level(level, space, i == 0);
        if (!next) return out_of_memory();
        work = std::move(next);
        level = work.get();
    }
    return {};
}

}  // namespace

uint64_t dds_level_bytes(DdsFormat format, uint32_t width, uint32_t height) noexcept {
    return (uint64_t{width} + 3) / 4 * ((uint64_t{height} + 3) / 4) * block_bytes(format);
}

SaveOutcome write_dds(const imgbuf* img, const DdsOptions& options, ByteSink& sink) noexcept {
    try {
        if (!has_pixels(img) || img->width == 0 || img->height == 0) {
            return save_failure(RK_ERROR_ARGUMENT, "No image to save.");
        }
        if (options.normal_map && options.format != DdsFormat::bc5) {
            return save_failure(RK_ERROR_ARGUMENT, "DDS normal maps are written as BC5.");
        }
        if (options.srgb && options.format != DdsFormat::bc7) {
            return save_failure(RK_ERROR_ARGUMENT, "sRGB DDS colour is written as BC7.");
        }
        return encode_file(img, options, sink);
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    } catch (...) {
        return save_failure(RK_ERROR_INTERNAL, "DDS writer failed.");
    }
}

}  // namespace rk
