// An image as a block-compressed DDS texture with its mipmaps, in the formats
// engines stream without converting: BC4 for one-channel maps (the image's
// red), BC5 for normal maps (red and green: x and y; a reader reconstructs z),
// BC7 for colour (RGBA).
//
// Header: BC4 and BC5 carry the long-standing FourCCs ATI1 and ATI2 rather
// than the DX10 header, since Pillow reads BC4 only under ATI1 (Blender reads
// both); BC7 has no FourCC and gets the DX10 extension header with
// DXGI_FORMAT_BC7_UNORM or, for sRGB colour, BC7_UNORM_SRGB. Each level is
// stored as whole 4 x 4 blocks, the pixels beyond the image's edge repeating
// the edge. mip_chain.h documents the filter.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"
#include "save/save_outcome.h"

namespace rk {

enum class DdsFormat : uint8_t { bc4, bc5, bc7 };

struct DdsOptions {
    DdsFormat format = DdsFormat::bc7;
    bool mipmaps = true;      // the full chain down to 1 x 1; else the image alone
    bool normal_map = false;  // BC5 only: red, green are 0.5 + 0.5 (x, y) of unit normals
    bool srgb = false;        // BC7 only: red, green, blue are sRGB-encoded colour
};

// Bytes of a level's blocks: ceil(w / 4) * ceil(h / 4) blocks of 8 (BC4) or 16
// bytes.
uint64_t dds_level_bytes(DdsFormat format, uint32_t width, uint32_t height) noexcept;

// Encodes img (at least 1 x 1) and hands the file to sink: the header first,
// then each level as it is made. Blocks are encoded on the library's threads;
// the bytes are the same for every thread count. An option the format does not
// have (normal_map without BC5, srgb without BC7) is refused. Never throws.
SaveOutcome write_dds(const imgbuf* img, const DdsOptions& options, FunctionSink& sink) noexcept;

}  // namespace rk
