#include "option_table.h"

#include <array>

#include "farm_options.h"
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
    if (t_shape) *t_shape = {ValueShape::Kind::whole, double(low), double(high), {}};
    const auto value = parse_uint(text);
    if (!value || *value < low || *value > high) {
        return {Action::run, concat("takes a whole number from ", std::to_string(low), " to ",
                                    std::to_string(high), ", not \"", text, "\"")};
    }
    into = *value;
    return {};
}

Outcome real_number(std::string_view text, float low, float high, float& into) {
    if (t_shape) *t_shape = {ValueShape::Kind::real, double(low), double(high), {}};
    const auto value = parse_float(text);
    if (!value || !(*value >= low && *value <= high)) {
        return {Action::run, concat("takes a number from ", format_number(low), " to ",
                                    format_number(high), ", not \"", text, "\"")};
    }
    into = *value;
    return {};
}

template <size_t N>
Outcome one_of(std::string_view text, const std::array<std::string_view, N>& names,
               uint32_t& into) {
    if (t_shape) *t_shape = {ValueShape::Kind::choice, 0, 0, {names.begin(), names.end()}};
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
    {"height-only", 0, "", "Write only the height map.", nullptr,
     [](Options& o, std::string_view) {
         o.height_only = true;
         return Outcome{};
     }},
    {"from-height", 0, "",
     "The inputs are height maps (height in the red channel): write only the normal map, "
     "named after the input with a trailing \"_height\" dropped (x_height.png gives "
     "x_normal.png).",
     nullptr,
     [](Options& o, std::string_view) {
         o.from_height = true;
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
     "Bits per sample of both maps: 8, or 16 for height maps without terraces and normal maps "
     "without banding. Height maps are single-channel grey PNG, normal maps RGB.",
     [](const Options& d) { return std::to_string(d.depth); },
     [](Options& o, std::string_view v) {
         if (v != "8" && v != "16")
             return Outcome{Action::run, concat("takes 8 or 16, not \"", v, "\"")};
         o.depth = v == "8" ? 8 : 16;
         return Outcome{};
     }},
    {"resize", 0, "WxH",
     "Resample each input bilinearly to W x H pixels (1 to 65535 each) before anything else.",
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
     "Colour-to-height conversion: red, green, blue, red-green, red-blue, green-blue, average "
     "or luminance. Luminance weighs the channels as the eye does, so bright means high. "
     "delit takes heights from the surface's shading with the light and the colour taken out, "
     "for a photograph under a sun or lamp from one side (taken to come from above or the "
     "left); it ignores the detail filter.",
     [](const Options& d) { return std::string(kModeNames[d.height.mode]); },
     [](Options& o, std::string_view v) { return one_of(v, kModeNames, o.height.mode); }},
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
     "is not stretched).",
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
     "Steepness: heights are multiplied by N before the slopes are measured (1 to 10). 2 "
     "shows a photograph's relief clearly; higher values saturate at its sharp edges.",
     [](const Options& d) { return std::to_string(d.normal.strength); },
     [](Options& o, std::string_view v) { return whole_number(v, 1, 10, o.normal.strength); }},
    {"center-weight", 0, "C",
     "Weight (2C + 16) / 9 of the middle row and column of the 3x3 slope operator: 1 gives "
     "the 1-2-1 Sobel weights, larger values favour the direct neighbours (0 to 100).",
     [](const Options& d) { return std::to_string(d.normal.center_tap); },
     [](Options& o, std::string_view v) { return whole_number(v, 0, 100, o.normal.center_tap); }},
    {"invert-x", 0, "", "Flip red, for renderers whose x axis points left.", nullptr,
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

constexpr OptionGroup kGroups[] = {
    {"Output", kOutput},
    {"Height map (from a photograph)", kHeight},
    {"Normal map", kNormal},
    {"Tiling", kTiling},
    {"Lists, shards and rebuilds", kFarmOptions},
};

}  // namespace

std::span<const OptionGroup> option_groups() {
    return kGroups;
}

ValueShape value_shape(const OptionEntry& option) {
    ValueShape shape;
    if (option.value.empty()) return shape;
    shape.kind = ValueShape::Kind::text;
    struct Probe {  // t_shape is cleared on every way out
        explicit Probe(ValueShape& into) { t_shape = &into; }
        ~Probe() { t_shape = nullptr; }
    } probe(shape);
    Options scratch;
    option.apply(scratch, {});
    return shape;
}

}  // namespace rkcli
