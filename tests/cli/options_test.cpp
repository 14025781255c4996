#include <gtest/gtest.h>

#include <functional>

#include "option_table.h"
#include "options.h"
#include "reliefkit.h"

using rkcli::Action;
using rkcli::Options;

namespace {

rkcli::ParseResult parse(std::vector<std::string_view> args) {
    return rkcli::parse_command_line(args);
}

struct Case {
    std::vector<std::string_view> args;
    std::function<bool(const Options&)> holds;  // accepted cases
    std::string_view error_part = {};           // refused cases
};

void PrintTo(const Case& c, std::ostream* os) {
    for (std::string_view arg : c.args) *os << arg << ' ';
}

}  // namespace

class Accepted : public ::testing::TestWithParam<Case> {};

TEST_P(Accepted, SetsItsSetting) {
    const auto r = parse(GetParam().args);
    ASSERT_EQ(r.action, Action::run) << r.error;
    EXPECT_TRUE(GetParam().holds(r.options));
}

// The flags must be the library's HM_* bits, the kinds and modes its numbers.
INSTANTIATE_TEST_SUITE_P(
    Table, Accepted,
    ::testing::Values(
        Case{{"x"},
             [](const Options& o) {
                 return o.height.mode == 7 && o.inputs == std::vector<std::string>{"x"} &&
                        o.height.flags() == (HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH) &&
                        !o.normal.blurred() && o.channels.red == 0 && o.channels.blue == 2;
             }},
        Case{{"--mode", "delit", "x"}, [](const Options& o) { return o.height.mode == 8; }},
        Case{{"--mode=green-blue", "--invert-red", "--invert-blue", "--no-auto-levels", "x"},
             [](const Options& o) {
                 return o.height.mode == 5 &&
                        (o.height.flags() & 0xFu) == (HM_INVERT_RED | HM_INVERT_BLUE);
             }},
        Case{{"--clamp-high", "0.75", "--detail-size", "0", "--smooth-size=0", "x"},
             [](const Options& o) {
                 return o.height.flags() == (HM_AUTO_LEVELS | HM_CLAMP) &&
                        o.height.clamp_low == 0.0f && o.height.clamp_high == 0.75f;
             }},
        Case{{"--smooth-kind", "tent", "--normal-blur-kind", "box", "--normal-blur-size", "3", "x"},
             [](const Options& o) {
                 return o.height.smooth_kind == 2 && o.normal.blur_kind == 1 && o.normal.blurred();
             }},
        Case{{"--invert", "--midpoint", "0.25", "x"},
             [](const Options& o) {
                 return (o.height.flags() & 0xEu) ==
                            (HM_INVERT_RED | HM_INVERT_GREEN | HM_INVERT_BLUE) &&
                        o.height.midpoint == 0.25f;
             }},
        Case{{"--channels=BgR", "--resize", "640X480", "x"},
             [](const Options& o) {
                 return o.channels.red == 2 && o.channels.green == 1 && o.channels.blue == 0 &&
                        o.resize && o.resize->width == 640 && o.resize->height == 480;
             }},
        Case{{"-qj", "0", "-oout", "x"},
             [](const Options& o) { return o.quiet && o.jobs == 0 && o.out_dir == "out"; }},
        Case{{"-j4", "--clamp-low", "0.5", "--clamp-high", "0.5", "x"},
             [](const Options& o) { return o.jobs == 4 && o.height.clamp_high == 0.5f; }},
        Case{{"--height-only", "--preview", "p.png", "x"},
             [](const Options& o) { return !o.writes_normal() && o.needs_normal(); }},
        Case{{"-", "a", "--", "--help", "-"}, [](const Options& o) {
                 return o.inputs == std::vector<std::string>{"-", "a", "--help", "-"};
             }}));

class Refused : public ::testing::TestWithParam<Case> {};

TEST_P(Refused, IsAUsageError) {
    const auto r = parse(GetParam().args);
    EXPECT_EQ(r.action, Action::usage_error);
    EXPECT_NE(r.error.find(GetParam().error_part), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refused,
    ::testing::Values(Case{{"-q"}, {}, "no input files"},
                      Case{{"--bogus", "x"}, {}, "unknown option --bogus"},
                      Case{{"x", "--mode"}, {}, "--mode needs a value"},
                      Case{{"--mode", "lum", "x"}, {}, "\"lum\" is not one of red, green"},
                      Case{{"--height-only=yes", "x"}, {}, "--height-only takes no value"},
                      Case{{"--strength", "11", "x"}, {}, "from 1 to 10, not \"11\""},
                      Case{{"--strength", "+3", "x"}, {}, "from 1 to 10"},
                      Case{{"--strength", "99999999999", "x"}, {}, "from 1 to 10"},
                      Case{{"--normal-blur-size", "255", "x"}, {}, "from 0 to 254"},
                      Case{{"--midpoint", "nan", "x"}, {}, "from 0 to 1"},
                      Case{{"--detail-threshold", "0.25x", "x"}, {}, "from 0 to 0.5"},
                      Case{{"--clamp-low", "0.8", "--clamp-high", "0.2", "x"},
                           {},
                           "--clamp-low 0.8 is above --clamp-high 0.2"},
                      Case{{"--weights", "1,1,1", "x"}, {}, "unknown option --weights"},
                      Case{{"--channels", "rxb", "x"}, {}, "three letters"},
                      Case{{"--resize", "0x10", "x"}, {}, "WIDTHxHEIGHT"},
                      Case{{"--from-height", "--height-only", "x"}, {}, "choose one"}));

TEST(Options, HelpAndVersionEndTheParse) {
    EXPECT_EQ(parse({"x", "--help", "--bogus"}).action, Action::help);
    EXPECT_EQ(parse({"--version"}).action, Action::version);
    EXPECT_EQ(parse({"--bogus", "-h"}).action, Action::usage_error);
    Options o;
    o.preview = "p.png";
    o.inputs = {"a", "b"};
    EXPECT_NE(rkcli::check_expanded_inputs(o).find("exactly one input"), std::string::npos);
}

// --help explains every option with the default the parser really uses.
TEST(Options, HelpListsEveryOptionWithItsDefault) {
    const std::string help = rkcli::help_text();
    std::string flat;  // line wrapping undone
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;) {
        EXPECT_LE(end - start, 80u) << help.substr(start, end - start);
        flat += help.substr(start, end - start) + ' ';
        start = help.find_first_not_of(' ', end + 1);
    }
    const Options defaults;
    for (const auto& group : rkcli::option_groups()) {
        for (const auto& option : group.options) {
            EXPECT_NE(flat.find("--" + std::string(option.name)), std::string::npos) << option.name;
            if (!option.default_text) continue;
            const std::string shown = "Default: " + option.default_text(defaults);
            EXPECT_NE(flat.find(shown), std::string::npos) << shown;
        }
    }
}
