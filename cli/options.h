// The command's settings and the parsing of its arguments.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "farm_settings.h"

namespace rkcli {

// Blur kinds as both generators number them.
enum BlurKind : uint32_t { kGaussian = 0, kBox = 1, kTent = 2 };

// Parameters of calc_heightmap_from_photo. The defaults aim at an ordinary
// photograph: brightness as height, the darkest level at zero, fine texture
// and sensor noise smoothed where there is no edge to keep.
struct HeightSettings {
    uint32_t mode = 8;  // delit (under an even light: the luminance map)
    bool invert_red = false;
    bool invert_green = false;
    bool invert_blue = false;
    bool auto_levels = true;
    float midpoint = 0.5f;
    bool clamp = false;
    float clamp_low = 0.0f;
    float clamp_high = 1.0f;
    uint32_t detail_size = 5;
    float detail_threshold = 0.05f;
    uint32_t smooth_size = 3;
    uint32_t smooth_kind = kGaussian;
    // The de-lit mode's light (--light AZ[:EL], degrees); unset: estimated.
    std::optional<float> light_azimuth;
    std::optional<float> light_elevation;

    uint32_t flags() const;
    bool operator==(const HeightSettings&) const = default;
};

// Parameters of calc_normalmap_from_heightmap.
struct NormalSettings {
    uint32_t strength = 2;
    uint32_t center_tap = 1;
    bool invert_x = false;
    bool invert_y = false;
    uint32_t blur_size = 0;
    uint32_t blur_kind = kGaussian;

    // Whether the library blurs (and so renormalises) the normals, which
    // changes how blue encodes z.
    bool blurred() const { return blur_size >= 3; }
    bool operator==(const NormalSettings&) const = default;
};

// Source channel (0 red, 1 green, 2 blue) of the file's red, green and blue.
struct ChannelOrder {
    int32_t red = 0;
    int32_t green = 1;
    int32_t blue = 2;
    bool operator==(const ChannelOrder&) const = default;
};

// The maps --maps names, in its order; kMapPacked is the file of --pack.
enum MapKind : uint32_t {
    kMapHeight,
    kMapNormal,
    kMapAo,
    kMapCurvature,
    kMapRoughness,
    kMapAlbedo,
    kMapPacked
};
inline constexpr std::array<std::string_view, 6> kMapNames = {"height",    "normal",    "ao",
                                                              "curvature", "roughness", "albedo"};
// --format: the file kind of every map (a preset chooses per map instead).
enum MapFormat : uint32_t { kFormatPng, kFormatExr, kFormatDds };
inline constexpr std::array<std::string_view, 3> kFormatNames = {"png", "exr", "dds"};

// The maps besides height and normal and the files a material is written as.
// The generators' defaults are the library's (rk_ao_params_init and the like).
struct MaterialSettings {
    uint32_t maps = 1u << kMapHeight | 1u << kMapNormal;  // a bit per MapKind
    uint32_t format = kFormatPng;
    bool format_given = false;
    bool pack_orm = false;
    bool gltf = false;
    std::string preset;  // an engine's name (engine_presets.h); empty: none
    float ao_depth = 16.0f;
    bool ao_depth_given = false;  // else --from-normal's depth is the relief's own
    float ao_radius = 32.0f;
    uint32_t ao_directions = 16;
    uint32_t curvature_scale = 9;
    float curvature_strength = 1.0f;
    float roughness_contrast = 1.0f;
    float roughness_bias = 0.0f;
    uint32_t albedo_scale = 0;  // 0: a share of the photograph's side
    float metallic = 0.0f;
    bool operator==(const MaterialSettings&) const = default;
};

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const Size&) const = default;
};

struct Options {
    std::vector<std::string> inputs;
    std::string out_dir = ".";
    bool height_only = false;
    bool from_height = false;
    bool from_normal = false;  // the inputs are normal maps: heights from them
    // The inputs are one capture, FILE[=AZ] each (--photometric), with the
    // lights' shared elevation when given.
    bool photometric = false;
    std::optional<float> elevation;
    bool verbose = false;  // also print the light each map was made under
    std::optional<std::string> preview;
    std::optional<Size> resize;
    ChannelOrder channels;
    unsigned jobs = 1;     // 0: one per processor
    uint32_t threads = 0;  // the library's thread count; 0: every usable processor
    bool quiet = false;
    uint32_t depth = 8;                  // bits per sample of both maps: 8 or 16
    bool depth_given = false;            // even --depth 8 has no place beside exr, dds or a preset
    bool seamless = false;               // both generators read across the opposite edge
    std::optional<float> make_tileable;  // blend width, a fraction of the image
    uint32_t preview_tiles = 1;          // the preview repeated N x N
    HeightSettings height;
    NormalSettings normal;
    FarmSettings farm;
    MaterialSettings material;

    // Every field, so that a setting added later is compared too.
    bool operator==(const Options&) const = default;

    bool wants(MapKind kind) const { return (material.maps >> kind & 1u) != 0; }
    // Whether the map of that kind is written: --height-only writes the height
    // map alone, --from-height never writes one, --from-normal writes heights
    // (and the maps made from them) but no normal map.
    bool writes(MapKind kind) const {
        if (kind == kMapHeight) return !from_height && (height_only || from_normal || wants(kind));
        if (kind == kMapNormal && from_normal) return false;
        if (kind == kMapPacked) return !height_only && packs();
        return !height_only && wants(kind);
    }
    // An ORM (or a preset's metallic-smoothness) file: asked for with --pack or
    // --gltf, or by a preset when occlusion or roughness is made.
    bool packs() const {
        return material.pack_orm || material.gltf ||
               (!material.preset.empty() && (wants(kMapAo) || wants(kMapRoughness)));
    }
    bool writes_height() const { return writes(kMapHeight); }
    bool writes_normal() const { return writes(kMapNormal); }
    bool needs_normal() const { return writes_normal() || preview.has_value(); }
};

enum class Action { run, help, version, usage_error };

struct ParseResult {
    Action action = Action::run;
    Options options;
    std::string error;  // set for usage_error
    // Every option applied, in command-line order: its long name and its value
    // as typed (empty for a switch).
    std::vector<std::pair<std::string_view, std::string>> applied;
};

ParseResult parse_command_line(std::span<const std::string_view> args);

// What can only be judged once globs are expanded: a usage error text, or empty.
std::string check_expanded_inputs(const Options& options);

// The full option list with defaults and ranges, and the short reminder printed
// after a usage error.
std::string help_text();
std::string usage_text();

// Names accepted by --mode and the blur-kind options, in library order.
inline constexpr std::array<std::string_view, 9> kModeNames = {
    "red", "green", "blue", "red-green", "red-blue", "green-blue", "average", "luminance", "delit"};
inline constexpr std::array<std::string_view, 3> kBlurKindNames = {"gaussian", "box", "tent"};

}  // namespace rkcli
