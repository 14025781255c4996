#include "option_table.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "farm_options.h"
#include "reliefkit.h"
#include "number_text.h"
#include "text_conversion.h"

namespace rkcli {
namespace {

using Outcome = OptionOutcome;

// Set while value_shape runs a handler on a probe: the shared value parsers
// below record their kind and range into it, so any entry built on them
// describes itself to the web page without a word of its own.
thread_local ValueShape* t_shape = nullptr;

Outcome whole_number(std::string_view text, uint32_t low, uint32_t high, uint32_t& into) {
    if (t_shape) *t_shape = {ValueShape::Kind::whole, double(low), double(high), {}, double(into)};
    const auto value = parse_uint(text);
    if (!value || *value < low || *value > high) {
        return {Action::run, concat("takes a whole number from ", std::to_string(low), " to ",
                                    std::to_string(high), ", not \"", text, "\"")};
    }
    into = *value;
    return {};
}

Outcome real_number(std::string_view text, float low, float high, float& into) {
    if (t_shape) *t_shape = {ValueShape::Kind::real, double(low), double(high), {}, double(into)};
    const auto value = parse_float(text);
    if (!value || !(*value >= low && *value <= high)) {
        return {Action::run, concat("takes a number from ", format_number(low), " to ",
                                    format_number(high), ", not \"", text, "\"")};
    }
    into = *value;
    return {};
}

// The library takes azimuths a whole turn apart as one light, folding each
// into [0, 360) as here: stored folded, --light -225 and 135 are one setting
// (and one key for --skip-unchanged), and folding twice changes nothing.
float within_a_turn(float degrees) {
    const float turn = std::fmod(degrees, 360.0f);
    const float within = turn < 0.0f ? turn + 360.0f : turn;
    return within >= 360.0f || within == 0.0f ? 0.0f : within;
}

template <size_t N>
Outcome one_of(std::string_view text, const std::array<std::string_view, N>& names,
               uint32_t& into) {
    if (t_shape) *t_shape = {ValueShape::Kind::choice, 0, 0, {names.begin(), names.end()}, 0};
    for (size_t i = 0; i < N; ++i) {
        if (names[i] == text) {
            into = static_cast<uint32_t>(i);
            return {};
        }
    }
    std::string list;
    for (std::string_view name : names) list += concat(list.empty() ? "" : ", ", name);
    return {Action::run, concat("\"", text, "\" is not one of ", list)};
}

Outcome channel_order(std::string_view text, ChannelOrder& into) {
    constexpr std::string_view kLetters = "rgb";
    std::array<int32_t, 3> source{};
    bool valid = text.size() == 3;
    for (size_t i = 0; valid && i < 3; ++i) {
        const char lower = static_cast<char>(text[i] | 0x20);
        const size_t at = kLetters.find(lower);
        valid = at != std::string_view::npos;
        source[i] = static_cast<int32_t>(at);
    }
    if (!valid) {
        return {Action::run,
                concat("takes three letters of r, g and b such as rgb or grb, not \"", text, "\"")};
    }
    into = {source[0], source[1], source[2]};
    return {};
}

Outcome image_size(std::string_view text, std::optional<Size>& into) {
    const size_t x = text.find_first_of("xX");
    const auto w = parse_uint(text.substr(0, x));
    const auto h = x == std::string_view::npos ? std::nullopt : parse_uint(text.substr(x + 1));
    if (!w || !h || *w < 1 || *h < 1 || *w > 65535 || *h > 65535) {
        return {Action::run,
                concat("takes WIDTHxHEIGHT, each from 1 to 65535, such as 512x512, not \"", text,
                       "\"")};
    }
    // The library makes no image larger than this (a resample past it would
    // fail as if memory had run out).
    if (uint64_t{*w} * *h > RK_MAX_IMAGE_PIXELS) {
        return {Action::run, concat("takes at most ", std::to_string(RK_MAX_IMAGE_PIXELS),
                                    " pixels, not \"", text, "\"")};
    }
    into = Size{*w, *h};
    return {};
}

std::string channel_letters(const ChannelOrder& c) {
    constexpr std::string_view kLetters = "rgb";
    return {kLetters[c.red], kLetters[c.green], kLetters[c.blue]};
}

constexpr OptionEntry kOutput[] = {
    {"out-dir", 'o', "DIR", "Directory for the maps; created when missing.",
     [](const Options& d) {
         return d.out_dir == "." ? std::string("the current directory") : d.out_dir;
     },
     [](Options& o, std::string_view v) {
         if (v.empty()) return Outcome{Action::run, "needs a directory name"};
         o.out_dir = v;
         return Outcome{};
     }},
    {"height-only", 0, "",
     "Write only the height map (no --maps beyond it, --pack, --gltf or --preset gltf).", nullptr,
     [](Options& o, std::string_view) {
         o.height_only = true;
         return Outcome{};
     }},
    {"from-height", 0, "",
     "The inputs are height maps (height in the red channel): write the maps made from "
     "heights alone (the normal map, and occlusion and curvature when --maps lists them), "
     "named after the input with a trailing \"_height\" dropped (x_height.png gives "
     "x_normal.png).",
     nullptr,
     [](Options& o, std::string_view) {
         o.from_height = true;
         return Outcome{};
     }},
    {"from-normal", 0, "",
     "The inputs are tangent-space normal maps (8 or 16 bits; green down the picture, or up "
     "with --invert-y; red to the right, or left with --invert-x): write the height map that "
     "integrates them, named after the input with a trailing \"_normal\" dropped "
     "(x_normal.png gives x_height.png), and the maps made from heights that --maps, --pack "
     "or --gltf ask for (no normal map, colour or roughness). The relief's own depth in pixels "
     "is the occlusion's depth and sets the glTF height scale, unless --ao-depth is given. "
     "--seamless reads them as tiling, else their edges are mirrored. Slopes taken by central "
     "or one-sided differences or by Sobel's or Prewitt's filter are told apart from the map.",
     nullptr,
     [](Options& o, std::string_view) {
         o.from_normal = true;
         return Outcome{};
     }},
    {"photometric", 0, "",
     "The inputs are one capture: 3 to 32 photographs of the same surface with the same "
     "framing, each under its own light, given as FILE=AZ[:EL] (the light's azimuth and "
     "optionally its elevation, as for --light) or FILE (its light estimated from the "
     "photographs together). Writes the normal map, the de-lit colour and the height map, "
     "named after the first photograph (x_normal.png, x_albedo.png, x_height.png).",
     nullptr,
     [](Options& o, std::string_view) {
         o.photometric = true;
         return Outcome{};
     }},
    {"elevation", 0, "DEG",
     "With --photometric: the lights' elevation above the surface in degrees (1 to below 90), "
     "shared by all of them.",
     [](const Options&) { return std::string("45"); },
     [](Options& o, std::string_view v) {
         float elevation = 45.0f;
         Outcome outcome = real_number(v, 1.0f, 90.0f, elevation);
         // Lights straight above all shine alike: the capture could tell no
         // slope from another.
         if (outcome.error.empty() && elevation == 90.0f) {
             outcome.error = "lights at 90 degrees all shine straight down alike; give less than 90";
         }
         o.elevation = elevation;
         return outcome;
     }},
    {"verbose", 'v', "", "Also print the light each map was made under (on standard error).",
     nullptr,
     [](Options& o, std::string_view) {
         o.verbose = true;
         return Outcome{};
     }},
    {"preview", 0, "FILE",
     "Also write the normal map lit by a light from the upper left (Lambert shading) as an "
     "8-bit PNG, to see the relief at a glance. Takes one input.",
     nullptr,
     [](Options& o, std::string_view v) {
         if (v.empty()) return Outcome{Action::run, "needs a file name"};
         o.preview = std::string(v);
         return Outcome{};
     }},
    {"channels", 0, "ORDER",
     "Which channels of the normal map become the file's red, green and blue: three letters "
     "of r, g, b (grb swaps red and green, bbb writes z as grey).",
     [](const Options& d) { return channel_letters(d.channels); },
     [](Options& o, std::string_view v) { return channel_order(v, o.channels); }},
    {"depth", 0, "BITS",
     "Bits per sample of every PNG map: 8, or 16 for height maps without terraces and normal "
     "maps without banding. Height maps are single-channel grey PNG, normal maps RGB. Not with "
     "--format exr or dds.",
     [](const Options& d) { return std::to_string(d.depth); },
     [](Options& o, std::string_view v) {
         if (v != "8" && v != "16")
             return Outcome{Action::run, concat("takes 8 or 16, not \"", v, "\"")};
         o.depth = v == "8" ? 8 : 16;
         o.depth_given = true;
         return Outcome{};
     }},
    {"resize", 0, "WxH",
     "Resample each input bilinearly to W x H pixels (1 to 65535 each, 268435455 pixels at most) before anything else.",
     nullptr, [](Options& o, std::string_view v) { return image_size(v, o.resize); }},
    {"jobs", 'j', "N",
     "Inputs processed at the same time (1 to 256; 0: one per processor). Each holds a few "
     "copies of its image at 16 bytes per pixel.",
     [](const Options& d) { return std::to_string(d.jobs); },
     [](Options& o, std::string_view v) {
         uint32_t jobs = o.jobs;
         Outcome outcome = whole_number(v, 0, 256, jobs);
         o.jobs = jobs;
         return outcome;
     }},
    {"threads", 0, "N",
     "Threads all inputs share, each job's own thread included (1 to 1024; 0: every "
     "processor the command may use). Jobs and the library's workers never keep more busy.",
     [](const Options& d) { return std::to_string(d.threads); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 1024, o.threads); }},
    {"quiet", 'q', "", "Print neither the files written nor the summary; only failures.", nullptr,
     [](Options& o, std::string_view) {
         o.quiet = true;
         return Outcome{};
     }},
    {"help", 'h', "", "Show this help and exit.", nullptr,
     [](Options&, std::string_view) {
         return Outcome{Action::help, {}};
     }},
    {"version", 0, "", "Show the version and exit.", nullptr,
     [](Options&, std::string_view) {
         return Outcome{Action::version, {}};
     }},
};

constexpr OptionEntry kHeight[] = {
    {"mode", 0, "NAME",
     "Colour-to-height conversion: red, green, blue, red-green, red-blue, green-blue, average, "
     "luminance or delit. Luminance weighs the channels as the eye does, so bright means high. "
     "delit takes heights from the surface's shading with the light and the colour taken out "
     "when the light comes from one side (a sun, a lamp; from where, see --light), ignoring "
     "the detail filter and fewer than three --invert options, and gives the luminance map "
     "under an even light.",
     [](const Options& d) { return std::string(kModeNames[d.height.mode]); },
     [](Options& o, std::string_view v) { return one_of(v, kModeNames, o.height.mode); }},
    {"light", 0, "AZ[:EL]",
     "Where the light of the delit mode comes from: the azimuth in degrees counter-clockwise "
     "as seen on screen, 0 = from the right edge, 90 = from the top edge (135 the upper left; "
     "-360 to 360), optionally its elevation above the surface (1 to 90). Without it the light "
     "is estimated, taking the darker parts to lie lower; when the relief comes out upside "
     "down, give the opposite direction, which --verbose prints beside the estimate.",
     [](const Options&) { return std::string("estimated"); },
     [](Options& o, std::string_view v) {
         const size_t colon = v.find(':');
         float azimuth = 0.0f;
         Outcome outcome = real_number(v.substr(0, colon), -360.0f, 360.0f, azimuth);
         if (!outcome.error.empty()) return outcome;
         o.height.light_azimuth = within_a_turn(azimuth);
         o.height.light_elevation.reset();
         if (colon == std::string_view::npos) return outcome;
         float elevation = 45.0f;
         outcome = real_number(v.substr(colon + 1), 1.0f, 90.0f, elevation);
         o.height.light_elevation = elevation;
         return outcome;
     }},
    {"invert", 0, "",
     "Use 1 - red, 1 - green and 1 - blue, whichever the mode reads: dark means high (the "
     "three switches below at once).",
     nullptr,
     [](Options& o, std::string_view) {
         o.height.invert_red = o.height.invert_green = o.height.invert_blue = true;
         return Outcome{};
     }},
    {"invert-red", 0, "", "Use 1 - red (when the mode reads red): dark means high.", nullptr,
     [](Options& o, std::string_view) {
         o.height.invert_red = true;
         return Outcome{};
     }},
    {"invert-green", 0, "", "Use 1 - green (when the mode reads green).", nullptr,
     [](Options& o, std::string_view) {
         o.height.invert_green = true;
         return Outcome{};
     }},
    {"invert-blue", 0, "", "Use 1 - blue (when the mode reads blue).", nullptr,
     [](Options& o, std::string_view) {
         o.height.invert_blue = true;
         return Outcome{};
     }},
    {"auto-levels", 0, "",
     "Move the darkest level down to 0 so the lowest point lies at zero height (the range "
     "is not stretched); a map within 1e-4 of flat, once clamped to 0..1, is kept as it is.",
     [](const Options& d) { return std::string(d.height.auto_levels ? "on" : "off"); },
     [](Options& o, std::string_view) {
         o.height.auto_levels = true;
         return Outcome{};
     }},
    {"no-auto-levels", 0, "", "Keep the levels as converted.", nullptr,
     [](Options& o, std::string_view) {
         o.height.auto_levels = false;
         return Outcome{};
     }},
    {"midpoint", 0, "M",
     "Input level that becomes mid-grey (0 to 1): below 0.5 raises the middle heights, above "
     "0.5 lowers them; 0.5 leaves them.",
     [](const Options& d) { return format_number(d.height.midpoint); },
     [](Options& o, std::string_view v) { return real_number(v, 0.0f, 1.0f, o.height.midpoint); }},
    {"clamp-low", 0, "V",
     "Raise heights below V to V (0 to 1). Either clamp option switches the limits on; the "
     "other then defaults to 0 or 1.",
     [](const Options&) { return std::string("no limit"); },
     [](Options& o, std::string_view v) {
         o.height.clamp = true;
         return real_number(v, 0.0f, 1.0f, o.height.clamp_low);
     }},
    {"clamp-high", 0, "V", "Lower heights above V to V (0 to 1).",
     [](const Options&) { return std::string("no limit"); },
     [](Options& o, std::string_view v) {
         o.height.clamp = true;
         return real_number(v, 0.0f, 1.0f, o.height.clamp_high);
     }},
    {"detail-size", 0, "N",
     "Edge-preserving smoothing: a Gaussian blur of N taps wherever the edge strength is below "
     "the threshold, so grain and sensor noise in flat areas do not turn into bumps while "
     "edges stay sharp. 0 to 99; 0 to 2 switch it off, an even N uses N-1.",
     [](const Options& d) { return std::to_string(d.height.detail_size); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 99, o.height.detail_size); }},
    {"detail-threshold", 0, "T",
     "Edge strength below which the detail filter blurs (0 to 0.5; a height step of 1 "
     "between neighbours measures 0.25).",
     [](const Options& d) { return format_number(d.height.detail_threshold); },
     [](Options& o, std::string_view v) {
         return real_number(v, 0.0f, 0.5f, o.height.detail_threshold);
     }},
    {"smooth-size", 0, "N",
     "Final blur of the height map, N taps (0 to 99; 0 to 2 switch it off, an even N uses "
     "N - 1). A light blur keeps single-pixel noise out of the normals.",
     [](const Options& d) { return std::to_string(d.height.smooth_size); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 99, o.height.smooth_size); }},
    {"smooth-kind", 0, "KIND", "Kernel of the final blur: gaussian, box or tent.",
     [](const Options& d) { return std::string(kBlurKindNames[d.height.smooth_kind]); },
     [](Options& o, std::string_view v) {
         return one_of(v, kBlurKindNames, o.height.smooth_kind);
     }},
};

constexpr OptionEntry kNormal[] = {
    {"strength", 0, "N",
     "Steepness: heights are multiplied by N before the slopes are measured (a whole number, 1 to 10). 2 "
     "shows a photograph's relief clearly; higher values saturate at its sharp edges.",
     [](const Options& d) { return std::to_string(d.normal.strength); },
     [](Options& o, std::string_view v) { return whole_number(v, 1, 10, o.normal.strength); }},
    {"center-weight", 0, "C",
     "Weight (2C + 16) / 9 of the middle row and column of the 3x3 slope operator: 1 gives "
     "the 1-2-1 Sobel weights, larger values favour the direct neighbours (a whole number, 0 to 100).",
     [](const Options& d) { return std::to_string(d.normal.center_tap); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 100, o.normal.center_tap); }},
    {"invert-x", 0, "",
     "Flip red, for renderers whose x axis points left (not with --gltf or --preset: glTF and "
     "those engines read red to the right). With --from-normal, reads the inputs red left.",
     nullptr,
     [](Options& o, std::string_view) {
         o.normal.invert_x = true;
         return Outcome{};
     }},
    {"invert-y", 0, "",
     "Flip green. The map's green points down the picture (DirectX style); flip it for "
     "renderers that expect green to point up (OpenGL style).",
     nullptr,
     [](Options& o, std::string_view) {
         o.normal.invert_y = true;
         return Outcome{};
     }},
    {"normal-blur-size", 0, "N",
     "Blur of the normals, N taps, renormalised afterwards (0 to 254; 0 to 2 switch it off, "
     "an even N uses N-1).",
     [](const Options& d) { return std::to_string(d.normal.blur_size); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 254, o.normal.blur_size); }},
    {"normal-blur-kind", 0, "KIND", "Kernel of the normal blur: gaussian, box or tent.",
     [](const Options& d) { return std::string(kBlurKindNames[d.normal.blur_kind]); },
     [](Options& o, std::string_view v) { return one_of(v, kBlurKindNames, o.normal.blur_kind); }},
};

constexpr OptionEntry kTiling[] = {
    {"seamless", 0, "",
     "For textures that tile: every blur and the slope operator read across the opposite "
     "edge, and the normal map has no flat border.",
     nullptr,
     [](Options& o, std::string_view) {
         o.seamless = true;
         return Outcome{};
     }},
    {"make-tileable", 0, "[=W]",
     "Make an input that does not tile into one that does before the maps are made: the "
     "bands of W of the width and height (0.01 to 0.5, default 0.1) along opposite edges are "
     "blended into each other. Implies --seamless.",
     nullptr,
     [](Options& o, std::string_view v) {
         float width = 0.1f;
         Outcome outcome = v.empty() ? Outcome{} : real_number(v, 0.01f, 0.5f, width);
         o.make_tileable = width;
         o.seamless = true;
         return outcome;
     }},
    {"preview-tiles", 0, "N",
     "Show the preview repeated N x N times (1 to 4), so that a seam shows at a glance.",
     [](const Options& d) { return std::to_string(d.preview_tiles); },
     [](Options& o, std::string_view v) { return whole_number(v, 1, 4, o.preview_tiles); }},
};

// A comma-separated list of kMapNames, as bits.
Outcome map_list(std::string_view text, uint32_t& into) {
    uint32_t maps = 0;
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view name = text.substr(start, comma - start);
        uint32_t kind = 0;
        if (!one_of(name, kMapNames, kind).error.empty()) {
            std::string list;
            for (std::string_view n : kMapNames) list += concat(list.empty() ? "" : ",", n);
            return {Action::run,
                    concat("takes map names separated by commas (", list, "), not \"", text, "\"")};
        }
        maps |= 1u << kind;
        start = comma + 1;
    }
    into = maps;
    return {};
}

std::string map_names(uint32_t maps) {
    std::string list;
    for (size_t i = 0; i < kMapNames.size(); ++i)
        if (maps >> i & 1u) list += concat(list.empty() ? "" : ",", kMapNames[i]);
    return list;
}

constexpr std::array<std::string_view, 4> kPresetNames = {"unreal", "unity", "godot", "gltf"};
constexpr std::array<std::string_view, 1> kPackNames = {"orm"};

constexpr OptionEntry kMaterial[] = {
    {"maps", 0, "LIST",
     "The maps to write, separated by commas: height, normal, ao (ambient occlusion from the "
     "heights), curvature (from the heights: above 0.5 on ridges, below in hollows), "
     "roughness (from the photograph's fine detail and brightness: a starting point to tune) "
     "and albedo (the photograph with its light taken out: a base colour). Each is written "
     "as <stem>_<name> with the format's extension. With --from-height: normal, ao and "
     "curvature only.",
     [](const Options& d) { return map_names(d.material.maps); },
     [](Options& o, std::string_view v) { return map_list(v, o.material.maps); }},
    {"format", 0, "KIND",
     "File kind of every map: png (8- or 16-bit as --depth says), exr (OpenEXR: the height "
     "map 32-bit float, the others half float; the colour (albedo) stays sRGB-encoded, which "
     "readers that take EXR as linear must be told) or dds (with every mipmap: BC4 for height, "
     "ao, curvature and roughness, BC5 for normals, BC7 for colour).",
     [](const Options& d) { return std::string(kFormatNames[d.material.format]); },
     [](Options& o, std::string_view v) {
         o.material.format_given = true;
         return one_of(v, kFormatNames, o.material.format);
     }},
    {"pack", 0, "orm",
     "Also write occlusion, roughness and metallic into the red, green and blue of one "
     "file, <stem>_orm (glTF's and Unreal's packing); occlusion and roughness are made for it "
     "when --maps does not list them. With --from-height or --from-normal, which read no "
     "photograph, roughness is 1 throughout (glTF's default).",
     nullptr,
     [](Options& o, std::string_view v) {
         uint32_t packing = 0;
         Outcome outcome = one_of(v, kPackNames, packing);
         o.material.pack_orm = outcome.error.empty();
         return outcome;
     }},
    {"gltf", 0, "",
     "Also write <stem>.gltf, a glTF 2.0 quad with the material (base colour from albedo, "
     "the normal map, the ORM file; the height map as an extra). Implies --pack orm and "
     "--invert-y (glTF's normal maps point green up); the normal map's blue is 0.5 + 0.5 z, as "
     "glTF reads it; PNG maps only. With --from-normal, which writes no normal map, the "
     "material has no normalTexture and the inputs are read green down unless --invert-y "
     "(a --preset, gltf too, reads them as its engine writes them).",
     nullptr,
     [](Options& o, std::string_view) {
         o.material.gltf = true;
         return Outcome{};
     }},
    {"preset", 0, "ENGINE",
     "unreal, unity, godot or gltf: the normal map's green direction, the packing (ORM, or "
     "Unity's metallic map with smoothness in alpha, <stem>_metallic, written when ao or "
     "roughness is made) and each map's file as that engine expects (README: Engine "
     "presets; their PNG normal maps store blue as 0.5 + 0.5 z); gltf also implies --gltf. Takes the place of --format and --depth. With "
     "--from-normal the inputs are read green the preset's way (up with --invert-y).",
     nullptr,
     [](Options& o, std::string_view v) {
         uint32_t index = 0;
         Outcome outcome = one_of(v, kPresetNames, index);
         if (outcome.error.empty()) o.material.preset = kPresetNames[index];
         return outcome;
     }},
    {"metallic", 0, "M",
     "Metallic of the packed file, a constant (0 to 1): a photograph does not show it.",
     [](const Options& d) { return format_number(d.material.metallic); },
     [](Options& o, std::string_view v) {
         return real_number(v, 0.0f, 1.0f, o.material.metallic);
     }},
    {"ao-depth", 0, "D",
     "Occlusion: pixels per unit of height, how deep a height of 1 stands (0 to 4096); "
     "--from-normal's default is the relief's own depth.",
     [](const Options& d) { return format_number(d.material.ao_depth); },
     [](Options& o, std::string_view v) {
         o.material.ao_depth_given = true;
         return real_number(v, 0.0f, 4096.0f, o.material.ao_depth);
     }},
    {"ao-radius", 0, "R",
     "Occlusion: how far in pixels each pixel looks for what hides its sky (8 to 256); the "
     "time grows with R.",
     [](const Options& d) { return format_number(d.material.ao_radius); },
     [](Options& o, std::string_view v) {
         return real_number(v, 8.0f, 256.0f, o.material.ao_radius);
     }},
    {"ao-directions", 0, "K",
     "Occlusion: directions looked along (4 to 256); the time grows with K.",
     [](const Options& d) { return std::to_string(d.material.ao_directions); },
     [](Options& o, std::string_view v) {
         return whole_number(v, 4, 256, o.material.ao_directions);
     }},
    {"curvature-scale", 0, "N",
     "Curvature: the width of the features measured, a Gaussian of N taps (3 to 253; an even N "
     "uses N - 1).",
     [](const Options& d) { return std::to_string(d.material.curvature_scale); },
     [](Options& o, std::string_view v) {
         return whole_number(v, 3, 253, o.material.curvature_scale);
     }},
    {"curvature-strength", 0, "S",
     "Curvature: how far a given bend moves the value from 0.5 (0 to 100).",
     [](const Options& d) { return format_number(d.material.curvature_strength); },
     [](Options& o, std::string_view v) {
         return real_number(v, 0.0f, 100.0f, o.material.curvature_strength);
     }},
    {"roughness-contrast", 0, "C", "Roughness: how far the values spread from 0.5 (0 to 16).",
     [](const Options& d) { return format_number(d.material.roughness_contrast); },
     [](Options& o, std::string_view v) {
         return real_number(v, 0.0f, 16.0f, o.material.roughness_contrast);
     }},
    {"roughness-bias", 0, "B", "Roughness: added after the contrast (-1 to 1).",
     [](const Options& d) { return format_number(d.material.roughness_bias); },
     [](Options& o, std::string_view v) {
         return real_number(v, -1.0f, 1.0f, o.material.roughness_bias);
     }},
    {"albedo-scale", 0, "PX",
     "Albedo: the width in pixels of the light taken out (1 to 4096; 0: a sixteenth of the "
     "photograph's larger side). Given, with --light and --seamless, the albedo is the "
     "centre of the photograph's tiled 3 x 3 under the conditions the README gives.",
     [](const Options& d) { return std::to_string(d.material.albedo_scale); },
     [](Options& o, std::string_view v) {
         return whole_number(v, 0, 4096, o.material.albedo_scale);
     }},
};

constexpr OptionGroup kGroups[] = {
    {"Output", kOutput},
    {"Height map (from a photograph)", kHeight},
    {"Normal map", kNormal},
    {"Tiling", kTiling},
    {"Material maps and files", kMaterial},
    {"Lists, shards and rebuilds", kFarmOptions},
};

}  // namespace

std::span<const OptionGroup> option_groups() {
    return kGroups;
}

ValueShape value_shape(const OptionEntry& option, std::string_view given) {
    ValueShape shape;
    if (option.value.empty()) return shape;
    shape.kind = ValueShape::Kind::text;
    struct Probe {  // t_shape is cleared on every way out
        explicit Probe(ValueShape& into) { t_shape = &into; }
        ~Probe() { t_shape = nullptr; }
    } probe(shape);
    Options scratch;
    option.apply(scratch, given);
    return shape;
}

}  // namespace rkcli
