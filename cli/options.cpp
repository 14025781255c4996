#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <string>

#include "engine_presets.h"
#include "number_text.h"
#include "option_table.h"
#include "photometric_capture.h"

namespace rkcli {

uint32_t HeightSettings::flags() const {
    // Bit values as the library defines them (HM_* in reliefkit.h).
    return (auto_levels ? 1u : 0u) | (invert_red ? 2u : 0u) | (invert_green ? 4u : 0u) |
           (invert_blue ? 8u : 0u) | (clamp ? 16u : 0u) | (detail_size > 0 ? 32u : 0u) |
           (smooth_size > 0 ? 128u : 0u);
}

namespace {

const OptionEntry* find_long(std::string_view name) {
    for (const OptionGroup& group : option_groups()) {
        for (const OptionEntry& option : group.options) {
            if (option.name == name) return &option;
        }
    }
    return nullptr;
}

const OptionEntry* find_short(char c) {
    for (const OptionGroup& group : option_groups()) {
        for (const OptionEntry& option : group.options) {
            if (option.short_name == c) return &option;
        }
    }
    return nullptr;
}

std::string display_name(const OptionEntry& option) {
    return "--" + std::string(option.name);
}

// What the material options cannot be combined with, or empty; applies what a
// preset and --gltf imply.
// maps_given: --maps was typed (its default names height and normal, which
// the modes that read one of them or write heights alone leave out).
std::string material_conflict(Options& o, bool maps_given) {
    MaterialSettings& m = o.material;
    // A map --maps names explicitly that the mode cannot write would go
    // unwritten while the run reports success.
    if (o.from_height && (o.wants(kMapRoughness) || o.wants(kMapAlbedo) ||
                          (maps_given && o.wants(kMapHeight)))) {
        return "--from-height reads heights only: --maps can have normal, ao and curvature";
    }
    if (o.from_normal && (o.wants(kMapRoughness) || o.wants(kMapAlbedo) ||
                          (maps_given && o.wants(kMapNormal)))) {
        return "--from-normal reads normals only: --maps can have height, ao and curvature";
    }
    // --height-only writes the height map alone: another map, a packed file or
    // a .gltf asked for beside it would go unwritten while the run reports
    // success. (Other presets still choose the height map's file.)
    constexpr uint32_t kBeyondHeight = ~(1u << kMapHeight);
    if (o.height_only && ((maps_given && (m.maps & kBeyondHeight) != 0) || m.pack_orm || m.gltf ||
                          m.preset == "gltf")) {
        return "--height-only writes the height map alone: leave out --gltf, --preset gltf, "
               "--pack and --maps other than height";
    }
    if (!m.preset.empty() && (m.format_given || o.depth_given)) {
        return "--preset " + m.preset + " chooses each map's file; leave out --format and --depth";
    }
    // EXR and DDS keep their own sample types: 16 bits would go unheeded.
    if (m.format != kFormatPng && o.depth_given) {
        return "--depth sets a PNG map's bits: leave it out with --format exr or dds";
    }
    if (const EnginePreset* preset = find_engine_preset(m.preset);
        preset && m.pack_orm && preset->packing != Packing::orm) {
        return "--preset " + m.preset + " packs metallic and smoothness into <stem>_metallic, "
               "not an ORM file: leave out --pack";
    }
    if (m.preset == "gltf") m.gltf = true;
    // EXR and DDS are written in the map's own channel order: a reordering would
    // go unheeded while the run reports success.
    const EnginePreset* engine = find_engine_preset(m.preset);
    const bool png_normals = engine ? map_file_extension(engine->normal) == ".png"
                                    : m.format == kFormatPng;
    if (!png_normals && o.writes_normal() && !(o.channels == ChannelOrder{})) {
        return "--channels reorders a PNG normal map: leave it out with --format exr or dds and "
               "--preset unreal";
    }
    if (m.gltf && (m.format != kFormatPng || (!m.preset.empty() && m.preset != "gltf"))) {
        return "--gltf takes PNG maps (glTF reads only PNG and JPEG): leave out --format and "
               "presets other than gltf";
    }
    // The material reads red and green as glTF defines them.
    if (m.gltf && o.writes_normal() && !(o.channels == ChannelOrder{})) {
        return "--gltf's material reads the normal map in glTF's channel order: leave out "
               "--channels";
    }
    // Red points right in glTF's and every engine's normal maps. With
    // --from-normal no normal map is written and --invert-x says which way the
    // inputs point; without a normal map among the maps it says nothing.
    if (o.normal.invert_x && !o.from_normal && o.writes_normal() && !m.preset.empty()) {
        return "--preset " + m.preset + " writes normal maps red to the right: leave out "
               "--invert-x";
    }
    if (o.normal.invert_x && !o.from_normal && o.writes_normal() && m.gltf) {
        return "--gltf's material reads the normal map red to the right, as glTF defines it: "
               "leave out --invert-x";
    }
    // glTF's green up is that of the normal map written: --from-normal writes
    // none, and reads its inputs green down unless --invert-y says otherwise.
    if (m.gltf && !o.from_normal) o.normal.invert_y = true;
    if (const EnginePreset* preset = find_engine_preset(m.preset)) {
        const bool up = preset->green == GreenDirection::up;
        // Only the user's --invert-y can be set here against a green-down
        // preset (--gltf with a preset is refused above). With --from-normal
        // it says which way the inputs point and wins; else the preset's
        // normal maps cannot point both ways.
        if (o.normal.invert_y && !up) {
            if (!o.from_normal) {
                return "--preset " + m.preset + " writes normal maps green down: leave out "
                       "--invert-y";
            }
        } else {
            o.normal.invert_y = up;
        }
    }
    return {};
}

// Walks the arguments once; each option's handler stores its value or says
// what is wrong with it.
class Parser {
  public:
    explicit Parser(std::span<const std::string_view> args) : args_(args) {}

    ParseResult run() {
        for (index_ = 0; index_ < args_.size() && result_.action == Action::run; ++index_) {
            const std::string_view arg = args_[index_];
            if (only_inputs_ || arg == "-" || !arg.starts_with('-')) {
                result_.options.inputs.emplace_back(arg);
            } else if (arg == "--") {
                only_inputs_ = true;
            } else if (arg.starts_with("--")) {
                long_option(arg.substr(2));
            } else {
                short_options(arg.substr(1));
            }
        }
        if (result_.action == Action::run) check_combination();
        return std::move(result_);
    }

  private:
    void fail(std::string message) {
        result_.action = Action::usage_error;
        result_.error = std::move(message);
    }

    void long_option(std::string_view text) {
        const size_t eq = text.find('=');
        const std::string_view name = text.substr(0, eq);
        const OptionEntry* option = find_long(name);
        if (!option) return fail("unknown option --" + std::string(name));
        if (option->value.empty()) {
            if (eq != std::string_view::npos) return fail(display_name(*option) + " takes no value");
            return apply(*option, {});
        }
        // An optional value ("[=W]") is only ever given after '='; nothing after
        // the '=' is a value left out (an unset variable), not the default.
        if (eq != std::string_view::npos && eq + 1 == text.size() &&
            option->value.starts_with('[')) {
            return fail(display_name(*option) + " has nothing after =: give a value or no =");
        }
        if (eq != std::string_view::npos) return apply(*option, text.substr(eq + 1));
        if (option->value.starts_with('[')) return apply(*option, {});
        apply_next_argument(*option);
    }

    void short_options(std::string_view letters) {
        for (size_t i = 0; i < letters.size() && result_.action == Action::run; ++i) {
            const OptionEntry* option = find_short(letters[i]);
            if (!option) return fail("unknown option -" + std::string(1, letters[i]));
            if (option->value.empty()) {
                apply(*option, {});
            } else if (i + 1 < letters.size()) {
                return apply(*option, letters.substr(i + 1));  // -j4
            } else {
                return apply_next_argument(*option);
            }
        }
    }

    void apply_next_argument(const OptionEntry& option) {
        if (index_ + 1 >= args_.size()) {
            return fail(display_name(option) + " needs a value (" + std::string(option.value) + ")");
        }
        apply(option, args_[++index_]);
    }

    void apply(const OptionEntry& option, std::string_view value) {
        result_.applied.emplace_back(option.name, value);
        const OptionOutcome outcome = option.apply(result_.options, value);
        if (outcome.action != Action::run) {
            result_.action = outcome.action;
        } else if (!outcome.error.empty()) {
            fail(display_name(option) + ": " + outcome.error);
        }
    }

    void check_combination() {
        const Options& o = result_.options;
        if (o.inputs.empty() && o.farm.lists.empty()) return fail("no input files");
        if (int(o.from_height) + int(o.from_normal) + int(o.photometric) + int(o.height_only) > 1) {
            return fail(
                "--from-height, --from-normal, --photometric and --height-only each choose what "
                "is made; choose one");
        }
        if (o.elevation && !o.photometric) return fail("--elevation is for --photometric");
        if (o.photometric && !(o.farm == FarmSettings{})) {
            return fail("--photometric makes the maps of one capture: no lists, shards or rebuilds");
        }
        // Its three PNG maps are fixed: a material option would go unheeded (--gltf
        // writing no .gltf) while the run reports success.
        if (o.photometric && !(o.material == MaterialSettings{})) {
            return fail(
                "--photometric writes its normal, colour and height maps as PNG: no --maps, "
                "--format, --pack, --gltf, --preset or other material options");
        }
        // The capture's maps come from the photographs' shading under their
        // lights, at their size: these would go unheeded while the run
        // reports success.
        const NormalSettings normal_default;
        const bool shapes_normals = o.normal.strength != normal_default.strength ||
                                    o.normal.center_tap != normal_default.center_tap ||
                                    o.normal.blur_size != normal_default.blur_size ||
                                    o.normal.blur_kind != normal_default.blur_kind;
        if (o.photometric &&
            (o.resize || o.make_tileable || !(o.height == HeightSettings{}) || shapes_normals)) {
            return fail(
                "--photometric makes its maps from the photographs as they are, each under its "
                "own light: leave out --resize, --make-tileable, --light and the other height and "
                "normal map options but --invert-x and --invert-y");
        }
        // Heights read from a file or integrated from normals are not made from
        // a photograph; a mode that writes no normal map (but for a preview)
        // has none to shape or reorder.
        if ((o.from_height || o.from_normal) && !(o.height == HeightSettings{})) {
            return fail(std::string(o.from_height ? "--from-height" : "--from-normal") +
                        " makes no heights from a photograph: leave out --mode, --light and the "
                        "other height map options");
        }
        if ((o.from_normal || o.height_only) &&
            (!(o.channels == ChannelOrder{}) || (shapes_normals && !o.preview))) {
            return fail(std::string(o.from_normal ? "--from-normal" : "--height-only") +
                        " writes no normal map: leave out --channels, and --strength, "
                        "--center-weight and the normal blur but for --preview");
        }
        const bool maps_given =
            std::any_of(result_.applied.begin(), result_.applied.end(),
                        [](const auto& applied) { return applied.first == "maps"; });
        if (std::string why = material_conflict(result_.options, maps_given); !why.empty()) {
            return fail(why);
        }
        // --from-height never writes heights: its --maps must name something else,
        // or the run would succeed having made nothing.
        bool writes_a_file = o.photometric || o.preview.has_value();
        for (uint32_t kind = kMapHeight; kind <= kMapPacked; ++kind) {
            writes_a_file = writes_a_file || o.writes(MapKind(kind));
        }
        if (!writes_a_file) {
            return fail(
                "--from-height writes no height map: --maps must list normal, ao or curvature");
        }
        if (o.height.clamp && o.height.clamp_low > o.height.clamp_high) {
            return fail("--clamp-low " + format_number(o.height.clamp_low) +
                        " is above --clamp-high " + format_number(o.height.clamp_high));
        }
    }

    std::span<const std::string_view> args_;
    size_t index_ = 0;
    bool only_inputs_ = false;
    ParseResult result_;
};

}  // namespace

ParseResult parse_command_line(std::span<const std::string_view> args) {
    return Parser(args).run();
}

std::string check_expanded_inputs(const Options& options) {
    if (options.photometric && (options.inputs.size() < 3 || options.inputs.size() > 32)) {
        return "--photometric takes 3 to 32 photographs of one surface (got " +
               std::to_string(options.inputs.size()) + ")";
    }
    // A light the capture would refuse is the command line's fault, told
    // before any photograph is read.
    for (const std::string& input : options.inputs) {
        if (!options.photometric) break;
        const CapturePhoto photo = capture_photo(input);
        const std::optional<float> azimuth = photo.azimuth, elevation = photo.elevation;
        if (azimuth && !(*azimuth >= -360.0f && *azimuth <= 360.0f)) {
            return "--photometric: the light of " + input + " is not -360 to 360 degrees";
        }
        if (elevation && !(*elevation >= 1.0f && *elevation <= 90.0f)) {
            return "--photometric: the elevation of " + input + " is not 1 to 90 degrees";
        }
        // Neither a light nor a file: told as the light it was meant to be
        // rather than as a file that cannot be read.
        std::error_code ec;
        if (photo.not_a_light && !std::filesystem::exists(input, ec)) {
            return "--photometric: \"" + *photo.not_a_light + "\" in " + input +
                   " is no light (AZ[:EL], as --light takes) and " + input + " no file";
        }
    }
    if (options.preview && options.inputs.size() != 1 && !options.photometric) {
        return "--preview writes one picture, so it takes exactly one input (got " +
               std::to_string(options.inputs.size()) + ")";
    }
    return {};
}

}  // namespace rkcli
