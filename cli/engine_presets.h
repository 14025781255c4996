// What `--preset` sets for each engine: the normal map's green direction, how
// occlusion, roughness and metallic are packed, and the file each kind of map
// is written as. The README's preset table says where each engine documents
// its choice; keep the two in step (a test compares them).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "channel_pack.h"

namespace rkcli {

// Which way a normal map's green points on the picture: up (OpenGL, glTF) or
// down (DirectX). The library's normal maps point green down.
enum class GreenDirection : uint8_t { up, down };

// A file kind for one map: 8- or 16-bit PNG, EXR (half or 32-bit float), or
// DDS with a block format (BC7 colour sRGB-encoded or linear).
enum class MapFile : uint8_t {
    png8,
    png16,
    exr_half,
    exr_float,
    dds_bc4,
    dds_bc5,
    dds_bc7_srgb,
    dds_bc7
};

struct EnginePreset {
    std::string_view name;
    GreenDirection green;
    Packing packing;
    MapFile colour;  // base colour (sRGB)
    MapFile normal;
    MapFile packed;  // the ORM or metallic-smoothness texture
    MapFile single;  // a one-channel map on its own: occlusion, curvature, roughness
    MapFile height;
};

std::span<const EnginePreset> engine_presets() noexcept;

// The preset of that name (lower case, as typed after --preset); null for
// any other name.
const EnginePreset* find_engine_preset(std::string_view name) noexcept;

// File extension of a map file kind, with its dot.
std::string_view map_file_extension(MapFile file) noexcept;

}  // namespace rkcli
