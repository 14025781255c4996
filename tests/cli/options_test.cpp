#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "option_table.h"
#include "options.h"
#include "reliefkit.h"

using rkcli::Action;
using rkcli::Options;
using rkcli::ParseResult;

namespace {

ParseResult parse(std::vector<std::string_view> args) {
    return rkcli::parse_command_line(args);
}

}  // namespace

TEST(Options, DefaultsGiveLuminanceWithLevelsDetailAndSmoothing) {
    const ParseResult r = parse({"photo.jpg"});
    ASSERT_EQ(r.action, Action::run) << r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.inputs, std::vector<std::string>{"photo.jpg"});
    EXPECT_EQ(o.out_dir, ".");
    EXPECT_EQ(o.height.mode, 7u);
    EXPECT_EQ(o.height.flags(), HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH);
    EXPECT_EQ(o.height.midpoint, 0.5f);
    EXPECT_EQ(o.normal.blur_size, 0u);
    EXPECT_FALSE(o.normal.blurred());
    EXPECT_EQ(o.channels.red, 0);
    EXPECT_EQ(o.channels.green, 1);
    EXPECT_EQ(o.channels.blue, 2);
    EXPECT_TRUE(o.writes_height());
    EXPECT_TRUE(o.writes_normal());
    EXPECT_FALSE(o.preview);
}

struct Accepted {
    std::vector<std::string_view> args;
    std::function<bool(const Options&)> holds;
};

std::string joined(const std::vector<std::string_view>& args) {
    std::string text;
    for (std::string_view arg : args) {
        if (!text.empty()) text += ' ';
        text += arg;
    }
    return text;
}

void PrintTo(const Accepted& c, std::ostream* os) {
    *os << joined(c.args);
}

class AcceptedArguments : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedArguments, SetTheirSetting) {
    const ParseResult r = parse(GetParam().args);
    ASSERT_EQ(r.action, Action::run) << r.error;
    EXPECT_TRUE(GetParam().holds(r.options));
}

// Flags as the library numbers them: the command must hand over exactly these.
INSTANTIATE_TEST_SUITE_P(
    Table, AcceptedArguments,
    ::testing::Values(
        Accepted{{"--mode", "red", "x"}, [](const Options& o) { return o.height.mode == 0; }},
        Accepted{{"--mode=green-blue", "x"}, [](const Options& o) { return o.height.mode == 5; }},
        Accepted{{"--mode", "average", "x"}, [](const Options& o) { return o.height.mode == 6; }},
        Accepted{{"--invert-red", "--invert-blue", "--no-auto-levels", "x"},
                 [](const Options& o) {
                     return (o.height.flags() & 0xFu) == (HM_INVERT_RED | HM_INVERT_BLUE);
                 }},
        Accepted{{"--invert-green", "x"},
                 [](const Options& o) { return (o.height.flags() & HM_INVERT_GREEN) != 0; }},
        Accepted{{"--clamp-high", "0.75", "x"},
                 [](const Options& o) {
                     return (o.height.flags() & HM_CLAMP) && o.height.clamp_low == 0.0f &&
                            o.height.clamp_high == 0.75f;
                 }},
        Accepted{{"--detail-size", "0", "--smooth-size=0", "x"},
                 [](const Options& o) { return o.height.flags() == HM_AUTO_LEVELS; }},
        Accepted{{"--detail-threshold", "0.125", "--detail-size", "9", "x"},
                 [](const Options& o) {
                     return o.height.detail_threshold == 0.125f && o.height.detail_size == 9;
                 }},
        Accepted{{"--smooth-kind", "tent", "--smooth-size", "7", "x"},
                 [](const Options& o) {
                     return o.height.smooth_kind == 2 && o.height.smooth_size == 7;
                 }},
        Accepted{{"--midpoint", "0.25", "x"},
                 [](const Options& o) { return o.height.midpoint == 0.25f; }},
        Accepted{{"--weights", "0,0,-1.5e-3", "x"},
                 [](const Options& o) {
                     return o.height.weights == std::array<float, 3>{0.0f, 0.0f, -1.5e-3f};
                 }},
        Accepted{
            {"--strength", "10", "--center-weight", "0", "x"},
            [](const Options& o) { return o.normal.strength == 10 && o.normal.center_tap == 0; }},
        Accepted{{"--invert-x", "--invert-y", "x"},
                 [](const Options& o) { return o.normal.invert_x && o.normal.invert_y; }},
        Accepted{{"--normal-blur-size", "3", "--normal-blur-kind", "box", "x"},
                 [](const Options& o) { return o.normal.blurred() && o.normal.blur_kind == 1; }},
        Accepted{{"--normal-blur-size", "2", "x"},
                 [](const Options& o) { return !o.normal.blurred(); }},
        Accepted{{"--channels", "grb", "x"},
                 [](const Options& o) {
                     return o.channels.red == 1 && o.channels.green == 0 && o.channels.blue == 2;
                 }},
        Accepted{{"--channels=BBB", "x"},
                 [](const Options& o) {
                     return o.channels.red == 2 && o.channels.green == 2 && o.channels.blue == 2;
                 }},
        Accepted{{"--resize", "640X480", "x"},
                 [](const Options& o) {
                     return o.resize && o.resize->width == 640 && o.resize->height == 480;
                 }},
        Accepted{{"-j4", "x"}, [](const Options& o) { return o.jobs == 4; }},
        Accepted{{"-qj", "0", "x"}, [](const Options& o) { return o.quiet && o.jobs == 0; }},
        Accepted{{"-oout", "x"}, [](const Options& o) { return o.out_dir == "out"; }},
        Accepted{{"--from-height", "--preview", "p.png", "x"},
                 [](const Options& o) {
                     return !o.writes_height() && o.writes_normal() && o.preview == "p.png";
                 }},
        Accepted{{"--height-only", "x"},
                 [](const Options& o) { return !o.writes_normal() && !o.needs_normal(); }},
        Accepted{{"--height-only", "--preview", "p.png", "x"},
                 [](const Options& o) { return !o.writes_normal() && o.needs_normal(); }},
        Accepted{{"a", "--", "--help", "-"}, [](const Options& o) {
                     return o.inputs == std::vector<std::string>{"a", "--help", "-"};
                 }}));

struct Refused {
    std::vector<std::string_view> args;
    std::string_view error_part;
};

void PrintTo(const Refused& c, std::ostream* os) {
    *os << joined(c.args);
}

class RefusedArguments : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedArguments, AreUsageErrors) {
    const ParseResult r = parse(GetParam().args);
    EXPECT_EQ(r.action, Action::usage_error);
    EXPECT_NE(r.error.find(GetParam().error_part), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedArguments,
    ::testing::Values(Refused{{}, "no input files"}, Refused{{"-q"}, "no input files"},
                      Refused{{"--bogus", "x"}, "unknown option --bogus"},
                      Refused{{"-z", "x"}, "unknown option -z"},
                      Refused{{"x", "--mode"}, "--mode needs a value"},
                      Refused{{"--mode", "lum", "x"}, "\"lum\" is not one of red, green"},
                      Refused{{"--smooth-kind", "Gaussian", "x"}, "gaussian, box, tent"},
                      Refused{{"--height-only=yes", "x"}, "--height-only takes no value"},
                      Refused{{"--strength", "0", "x"}, "from 1 to 10, not \"0\""},
                      Refused{{"--strength", "11", "x"}, "from 1 to 10"},
                      Refused{{"--strength", "+3", "x"}, "from 1 to 10"},
                      Refused{{"--strength", "3.0", "x"}, "from 1 to 10"},
                      Refused{{"--strength", "99999999999", "x"}, "from 1 to 10"},
                      Refused{{"--detail-size", "100", "x"}, "from 0 to 99"},
                      Refused{{"--smooth-size", "-1", "x"}, "from 0 to 99"},
                      Refused{{"--normal-blur-size", "255", "x"}, "from 0 to 254"},
                      Refused{{"--center-weight", "101", "x"}, "from 0 to 100"},
                      Refused{{"-j", "257", "x"}, "from 0 to 256"},
                      Refused{{"--midpoint", "1.01", "x"}, "from 0 to 1"},
                      Refused{{"--midpoint", "nan", "x"}, "from 0 to 1"},
                      Refused{{"--midpoint", "0.5x", "x"}, "from 0 to 1"},
                      Refused{{"--detail-threshold", "0.6", "x"}, "from 0 to 0.5"},
                      Refused{{"--clamp-low", "-0.1", "x"}, "from 0 to 1"},
                      Refused{{"--clamp-low", "0.8", "--clamp-high", "0.2", "x"},
                              "--clamp-low 0.8 is above --clamp-high 0.2"},
                      Refused{{"--weights", "1,1", "x"}, "three numbers"},
                      Refused{{"--weights", "1,1,1,", "x"}, "three numbers"},
                      Refused{{"--channels", "rgba", "x"}, "three letters"},
                      Refused{{"--channels", "rxb", "x"}, "three letters"},
                      Refused{{"--resize", "0x10", "x"}, "WIDTHxHEIGHT"},
                      Refused{{"--resize", "10", "x"}, "WIDTHxHEIGHT"},
                      Refused{{"--resize", "65536x1", "x"}, "WIDTHxHEIGHT"},
                      Refused{{"--out-dir=", "x"}, "needs a directory name"},
                      Refused{{"--from-height", "--height-only", "x"}, "choose one"}));

TEST(Options, HelpAndVersionEndTheParse) {
    EXPECT_EQ(parse({"x", "--help", "--bogus"}).action, Action::help);
    EXPECT_EQ(parse({"-h"}).action, Action::help);
    EXPECT_EQ(parse({"--version"}).action, Action::version);
    EXPECT_EQ(parse({"--bogus", "--help"}).action, Action::usage_error);
}

TEST(Options, PreviewTakesExactlyOneExpandedInput) {
    Options o;
    o.preview = "p.png";
    o.inputs = {"a", "b"};
    EXPECT_NE(rkcli::check_expanded_inputs(o).find("exactly one input"), std::string::npos);
    o.inputs = {"a"};
    EXPECT_EQ(rkcli::check_expanded_inputs(o), "");
}

// --help must explain every option, with the default the parser really uses.
TEST(Options, HelpListsEveryOptionWithItsDefault) {
    const std::string help = rkcli::help_text();
    std::string flat;  // the help with its line wrapping undone
    for (size_t i = 0; i < help.size(); ++i) {
        if (help[i] != '\n') {
            flat += help[i];
            continue;
        }
        flat += ' ';
        while (i + 1 < help.size() && help[i + 1] == ' ') ++i;
    }
    const Options defaults;
    for (const rkcli::OptionGroup& group : rkcli::option_groups()) {
        for (const rkcli::OptionSpec& spec : group.options) {
            const std::string name = "--" + std::string(spec.name);
            EXPECT_NE(help.find(name), std::string::npos) << name;
            if (spec.default_text) {
                const std::string shown = "Default: " + spec.default_text(defaults);
                EXPECT_NE(flat.find(shown), std::string::npos) << name << " " << shown;
            }
        }
    }
    for (std::string_view mode : rkcli::kModeNames) {
        EXPECT_NE(help.find(mode), std::string::npos) << mode;
    }
    size_t start = 0;
    for (size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
    }
}
