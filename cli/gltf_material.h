// A glTF 2.0 file that shows a material on a quad: the base colour, normal
// and occlusion-roughness-metallic maps by relative URI, the height map
// referenced in the material's extras for viewers that displace.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace rkcli {

struct GltfMaterial {
    std::string name = "material";
    // The maps' size: the quad has their aspect, its long side 1 unit.
    uint32_t width = 1;
    uint32_t height = 1;
    // Each empty when the material has no such map. The textures must be PNG
    // or JPEG, the only images glTF itself defines; the height map may be any.
    std::filesystem::path base_colour;  // sRGB colour
    std::filesystem::path normal;       // green up, as glTF defines it
    std::filesystem::path orm;          // R occlusion, G roughness, B metallic
    bool orm_has_occlusion = true;      // false: R is no occlusion and goes unused
    std::filesystem::path height_map;
    float height_scale = 0.05f;  // displacement at height 1, in the quad's units
};

// The JSON text of the file that will be at gltf_path: the quad (positions,
// normals, tangents, texture coordinates and indices in one buffer, embedded
// as a data: URI), the material and its textures by URIs relative to the
// file's folder. Throws std::invalid_argument for a texture other than PNG or JPEG.
std::string gltf_material_json(const GltfMaterial& material,
                               const std::filesystem::path& gltf_path);

// Writes that text to gltf_path (through a temporary file beside it, so that
// an existing file is only ever replaced by a complete one). Returns the
// reason it could not, or an empty string.
std::string write_gltf_material(const std::filesystem::path& gltf_path,
                                const GltfMaterial& material);

}  // namespace rkcli
