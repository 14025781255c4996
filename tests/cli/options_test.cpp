#include <gtest/gtest.h>

#include <sstream>

#include "option_table.h"
#include "options.h"
#include "reliefkit.h"

using rkcli::Action;
using rkcli::Options;

namespace {

rkcli::ParseResult parse(std::vector<std::string_view> args) {
    return rkcli::parse_command_line(args);
}

// The settings a parse gave, in one line a table row can search.
std::string describe(const Options& o) {
    std::ostringstream s;
    s << "mode " << o.height.mode << " flags " << o.height.flags() << " mid " << o.height.midpoint
      << " clamp " << o.height.clamp_low << ".." << o.height.clamp_high << " smooth "
      << o.height.smooth_kind << " blur " << o.normal.blur_kind << (o.normal.blurred() ? "+" : "-")
      << " rgb " << o.channels.red << o.channels.green << o.channels.blue << " jobs " << o.jobs
      << (o.quiet ? " quiet" : "") << " out " << o.out_dir << " maps " << o.writes_normal()
      << o.needs_normal() << " light " << o.height.light_azimuth.value_or(-1) << ":"
      << o.height.light_elevation.value_or(-1) << " in";
    if (o.resize) s << " " << o.resize->width << "x" << o.resize->height;
    for (const std::string& input : o.inputs) s << " [" << input << "]";
    s << " green " << (o.normal.invert_y ? "up" : "down");
    return s.str();
}

std::string flags(uint32_t f) {
    return " flags " + std::to_string(f) + " ";
}

}  // namespace

// The flags must be the library's HM_* bits, the kinds and modes its numbers.
TEST(Options, AcceptedArgumentsSetTheirSettings) {
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{"x"}, "mode 8" + flags(HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH) +
                    "mid 0.5 clamp 0..1 smooth 0 blur 0- rgb 012 jobs 1 out . maps 11 light -1:-1 in [x]"},
        {{"--mode", "delit", "x"}, "mode 8 "},
        {{"--mode=green-blue", "--invert-red", "--invert-blue", "--no-auto-levels", "x"},
         "mode 5" + flags(HM_INVERT_RED | HM_INVERT_BLUE | HM_DETAIL_FILTER | HM_SMOOTH)},
        {{"--clamp-high", "0.75", "--detail-size", "0", "--smooth-size=0", "x"},
         flags(HM_AUTO_LEVELS | HM_CLAMP) + "mid 0.5 clamp 0..0.75 "},
        {{"--smooth-kind", "tent", "--normal-blur-kind", "box", "--normal-blur-size", "3", "x"},
         "smooth 2 blur 1+ "},
        {{"--invert", "--midpoint", "0.25", "x"},
         flags(HM_AUTO_LEVELS | HM_INVERT_RED | HM_INVERT_GREEN | HM_INVERT_BLUE |
               HM_DETAIL_FILTER | HM_SMOOTH) +
             "mid 0.25 "},
        {{"--channels=BgR", "--resize", "640X480", "x"}, "rgb 210 jobs 1 out . maps 11 light -1:-1 in 640x480"},
        {{"-qj", "0", "-oout", "x"}, "jobs 0 quiet out out "},
        {{"-j4", "--clamp-low", "0.5", "--clamp-high", "0.5", "x"}, "clamp 0.5..0.5 "},
        {{"--height-only", "--preview", "p.png", "x"}, "maps 01 "},
        {{"--light", "-90:30", "--light=135", "x"}, "maps 11 light 135:-1 "},
        {{"-", "a", "--", "--help", "-"}, "in [-] [a] [--help] [-]"},
        {{"--channels", "grb", "--preset", "unity", "x"}, "rgb 102 "},
        {{"--channels", "grb", "--format", "exr", "--maps", "height", "x"}, "rgb 102 "},
        // A preset's green is that of the maps it writes, and with --from-normal
        // how the inputs are read, unless --invert-y says how they point.
        {{"--preset", "unity", "x"}, "[x] green up"},
        {{"--gltf", "x"}, "[x] green up"},
        {{"--from-normal", "--preset", "unity", "x"}, "[x] green up"},
        {{"--from-normal", "--preset", "unreal", "x"}, "[x] green down"},
        {{"--from-normal", "--invert-y", "--preset", "unreal", "x"}, "[x] green up"},
        // --gltf's is that of the normal map written, and --from-normal writes none.
        {{"--from-normal", "--invert-x", "--gltf", "x"}, "[x] green down"},
        {{"--gltf", "--invert-x", "--maps", "height,albedo", "x"}, "maps 00 "},
        {{"--preset", "godot", "--invert-x", "--maps", "height", "x"}, "maps 00 "},
        // What each mode does heed.
        {{"--height-only", "--maps", "height", "x"}, "maps 00 "},
        {{"--roughness-bias", "1e-50", "--ao-depth", "-1e-46", "x"}, ""},  // below a float's least
        {{"--from-normal", "--maps", "height,ao", "x"}, "maps 00 "},
        {{"--height-only", "--strength", "5", "--preview", "p.png", "x"}, "maps 01 "},
        {{"--from-height", "--resize", "32x24", "--strength", "5", "x"}, "maps 11 "},
        {{"--photometric", "--seamless", "--invert-x", "--invert-y", "--depth", "16", "--channels",
          "grb", "--elevation", "89.5", "x"},
         "rgb 102 "},
    };
    for (const auto& [args, settings] : cases) {
        const auto r = parse(args);
        ASSERT_EQ(r.action, Action::run) << r.error;
        EXPECT_NE(describe(r.options).find(settings), std::string::npos) << describe(r.options);
    }
}

TEST(Options, RefusalsAreUsageErrorsThatSayWhy) {
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{"-q"}, "no input files"},
        {{"--bogus", "x"}, "unknown option --bogus"},
        {{"x", "--mode"}, "--mode needs a value"},
        {{"--mode", "lum", "x"}, "\"lum\" is not one of red, green"},
        {{"--height-only=yes", "x"}, "--height-only takes no value"},
        {{"--strength", "11", "x"}, "from 1 to 10, not \"11\""},
        {{"--strength", "+3", "x"}, "from 1 to 10"},
        {{"--strength", "99999999999", "x"}, "from 1 to 10"},
        {{"--midpoint", "nan", "x"}, "from 0 to 1"},
        {{"--detail-threshold", "0.25x", "x"}, "from 0 to 0.5"},
        {{"--clamp-low", "0.8", "--clamp-high", "0.2", "x"}, "--clamp-low 0.8 is above --clamp-high 0.2"},
        {{"--channels", "rxb", "x"}, "three letters"},
        {{"--resize", "0x10", "x"}, "WIDTHxHEIGHT"},
        {{"--resize", "65535x4097", "x"}, "--resize: takes at most 268435455 pixels, not \"65535x4097\""},
        {{"--from-height", "--height-only", "x"}, "choose one"},
        {{"--from-height", "--maps", "height", "x"}, "--from-height reads heights only"},
        // A map typed into --maps that the mode cannot write.
        {{"--from-height", "--maps", "height,normal", "x"}, "--from-height reads heights only"},
        {{"--from-normal", "--maps", "normal,ao", "x"}, "--from-normal reads normals only"},
        {{"--height-only", "--maps", "normal", "x"}, "--height-only writes the height map alone"},
        {{"--height-only", "--gltf", "x"}, "--height-only writes the height map alone"},
        {{"--height-only", "--pack", "orm", "x"}, "--height-only writes the height map alone"},
        {{"--preset", "gltf", "--height-only", "x"}, "--height-only writes the height map alone"},
        {{"--maps", "height,ao", "--height-only", "x"}, "--height-only writes the height map alone"},
        {{"--make-tileable=", "x"}, "--make-tileable has nothing after ="},
        {{"--from-normal", "--photometric", "x"}, "choose one"},
        {{"--light", "400", "x"}, "--light: takes a number from -360 to 360"},
        {{"--light", "0:0", "x"}, "--light: takes a number from 1 to 90, not \"0\""},
        {{"--elevation", "30", "x"}, "--elevation is for --photometric"},
        {{"--photometric", "--shard", "1/2", "x"}, "no lists, shards or rebuilds"},
        {{"--photometric", "--gltf", "x"}, "no --maps, --format, --pack, --gltf, --preset"},
        {{"--photometric", "--maps", "ao", "x"}, "no --maps"},
        {{"--channels", "grb", "--format", "dds", "x"}, "--channels reorders a PNG normal map"},
        {{"--channels", "bbb", "--preset", "unreal", "x"}, "--channels reorders a PNG normal map"},
        {{"--preset", "unreal", "--invert-y", "x"}, "writes normal maps green down: leave out"},
        {{"--format", "exr", "--depth", "16", "x"}, "--depth sets a PNG map's bits"},
        {{"--depth", "16", "--format", "dds", "x"}, "--depth sets a PNG map's bits"},
        {{"--depth", "8", "--format", "exr", "x"}, "--depth sets a PNG map's bits"},
        {{"--preset", "godot", "--depth", "8", "x"}, "chooses each map's file; leave out --format"},
        {{"--gltf", "--channels", "grb", "x"}, "--gltf's material reads the normal map"},
        {{"--gltf", "--invert-x", "x"}, "--gltf's material reads the normal map red to"},
        {{"--preset", "godot", "--invert-x", "x"}, "writes normal maps red to the right"},
        {{"--preset", "unity", "--pack", "orm", "x"}, "not an ORM file: leave out --pack"},
        // What a capture cannot heed.
        {{"--photometric", "--resize", "32x24", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--make-tileable", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--light", "100", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--strength", "5", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--normal-blur-size", "9", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--mode", "red", "x"}, "--photometric makes its maps from the"},
        {{"--photometric", "--elevation", "90", "x"}, "give less than 90"},
        // Options of maps a mode does not make.
        {{"--from-height", "--light", "100", "x"}, "--from-height makes no heights from a photo"},
        {{"--from-normal", "--smooth-size", "5", "x"}, "--from-normal makes no heights from a photo"},
        {{"--from-normal", "--strength", "5", "x"}, "--from-normal writes no normal map"},
        {{"--height-only", "--channels", "grb", "x"}, "--height-only writes no normal map"},
        {{"--height-only", "--channels", "grb", "--preview", "p.png", "x"}, "writes no normal map"},
        {{"--bogus", "-h"}, "unknown option"},
    };
    for (const auto& [args, error] : cases) {
        const auto r = parse(args);
        EXPECT_EQ(r.action, Action::usage_error) << error;
        EXPECT_NE(r.error.find(error), std::string::npos) << r.error;
    }
    EXPECT_EQ(parse({"x", "--help", "--bogus"}).action, Action::help);
    EXPECT_EQ(parse({"--version"}).action, Action::version);
    Options o;
    o.preview = "p.png";
    o.inputs = {"a", "b"};
    EXPECT_NE(rkcli::check_expanded_inputs(o).find("exactly one input"), std::string::npos);
    o.photometric = true;
    EXPECT_NE(rkcli::check_expanded_inputs(o).find("3 to 32 photographs"), std::string::npos);
    o.inputs = {"a=0", "b=360", "c=-400"};
    EXPECT_NE(rkcli::check_expanded_inputs(o).find("c=-400 is not -360 to 360 degrees"), std::string::npos);
    o.inputs = {"a=0", "b=-360", "c"};
    EXPECT_EQ(rkcli::check_expanded_inputs(o), "");
}

// --help names every option, in lines of at most 80 columns.
TEST(Options, HelpNamesEveryOptionInLinesOf80Columns) {
    const std::string help = rkcli::help_text();
    std::string flat;  // line wrapping undone
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
        flat += help.substr(start, end - start) + ' ';
        start = help.find_first_not_of(' ', end + 1);
    }
    for (const auto& group : rkcli::option_groups()) {
        for (const auto& option : group.options) {
            EXPECT_NE(flat.find("--" + std::string(option.name)), std::string::npos) << option.name;
        }
    }
}
