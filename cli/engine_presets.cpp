#include "engine_presets.h"

#include <array>

namespace rkcli {
namespace {

// Engines compress PNGs themselves on import (Unity, Godot) or take only PNG
// and JPEG (glTF); Unreal's preset writes the block formats its compression
// settings name. Heights stay 16-bit PNG everywhere: every engine imports it,
// and 8 bits would show terraces when displaced.
constexpr std::array<EnginePreset, 4> kPresets = {{
    {"unreal", GreenDirection::down, Packing::orm, MapFile::dds_bc7_srgb, MapFile::dds_bc5,
     MapFile::dds_bc7, MapFile::dds_bc4, MapFile::png16},
    {"unity", GreenDirection::up, Packing::metallic_smoothness, MapFile::png8, MapFile::png8,
     MapFile::png8, MapFile::png8, MapFile::png16},
    {"godot", GreenDirection::up, Packing::orm, MapFile::png8, MapFile::png8, MapFile::png8,
     MapFile::png8, MapFile::png16},
    {"gltf", GreenDirection::up, Packing::orm, MapFile::png8, MapFile::png8, MapFile::png8,
     MapFile::png8, MapFile::png16},
}};

}  // namespace

std::span<const EnginePreset> engine_presets() noexcept {
    return kPresets;
}

const EnginePreset* find_engine_preset(std::string_view name) noexcept {
    for (const EnginePreset& p : kPresets) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

std::string_view map_file_extension(MapFile file) noexcept {
    switch (file) {
        case MapFile::png8:
        case MapFile::png16:
            return ".png";
        case MapFile::exr_half:
        case MapFile::exr_float:
            return ".exr";
        case MapFile::dds_bc4:
        case MapFile::dds_bc5:
        case MapFile::dds_bc7_srgb:
        case MapFile::dds_bc7:
            break;
    }
    return ".dds";
}

}  // namespace rkcli
