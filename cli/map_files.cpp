#include "map_files.h"

namespace rkcli {

Packing packing_of(const Options& options) {
    const EnginePreset* preset = find_engine_preset(options.material.preset);
    return preset ? preset->packing : Packing::orm;
}

MapFile map_file_of(const Options& options, MapKind kind) {
    if (const EnginePreset* p = find_engine_preset(options.material.preset)) {
        switch (kind) {
            case kMapHeight:
                return p->height;
            case kMapNormal:
                return p->normal;
            case kMapAlbedo:
                return p->colour;
            case kMapPacked:
                return p->packed;
            default:
                return p->single;
        }
    }
    switch (options.material.format) {
        case kFormatExr:
            // Displacement wants every bit of a height; half floats keep 11.
            return kind == kMapHeight ? MapFile::exr_float : MapFile::exr_half;
        case kFormatDds:
            return kind == kMapNormal   ? MapFile::dds_bc5
                   : kind == kMapAlbedo ? MapFile::dds_bc7_srgb
                   : kind == kMapPacked ? MapFile::dds_bc7
                                        : MapFile::dds_bc4;
        default:
            return options.depth == 16 ? MapFile::png16 : MapFile::png8;
    }
}

std::string map_file_suffix(const Options& options, MapKind kind) {
    std::string suffix = "_";
    if (kind == kMapPacked) {
        suffix += packing_of(options) == Packing::orm ? "orm" : "metallic";
    } else {
        suffix += kMapNames[kind];
    }
    return suffix + std::string(map_file_extension(map_file_of(options, kind)));
}

}  // namespace rkcli
