#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "naming.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using rkcli::JobPlan;

struct StemCase {
    std::string input;
    bool from_height;
    std::string stem;
};

void PrintTo(const StemCase& c, std::ostream* os) {
    *os << c.input << (c.from_height ? " from height" : "");
}

class OutputStem : public ::testing::TestWithParam<StemCase> {};

TEST_P(OutputStem, FromInputName) {
    EXPECT_EQ(rkcli::output_stem(GetParam().input, GetParam().from_height), GetParam().stem);
}

INSTANTIATE_TEST_SUITE_P(Table, OutputStem,
                         ::testing::Values(StemCase{"photos/wall.jpg", false, "wall"},
                                           StemCase{"wall.tar.png", false, "wall.tar"},
                                           StemCase{"noextension", false, "noextension"},
                                           StemCase{"wall_height.png", false, "wall_height"},
                                           StemCase{"wall_height.png", true, "wall"},
                                           StemCase{"a/wall_height", true, "wall"},
                                           StemCase{"_height.png", true, "_height"},
                                           StemCase{"wall_heights.png", true, "wall_heights"},
                                           StemCase{"dir/", false, ""}));

namespace {

rkcli::Options options_for(std::vector<std::string> inputs, std::string out_dir) {
    rkcli::Options o;
    o.inputs = std::move(inputs);
    o.out_dir = std::move(out_dir);
    return o;
}

}  // namespace

TEST(PlanJobs, NamesBothMapsInTheOutputDirectory) {
    const auto plans = rkcli::plan_jobs(options_for({"in/a.jpg", "b.png"}, "out"));
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0].height_out, fs::path("out/a_height.png"));
    EXPECT_EQ(plans[0].normal_out, fs::path("out/a_normal.png"));
    EXPECT_TRUE(plans[0].preview_out.empty());
    EXPECT_EQ(plans[1].normal_out, fs::path("out/b_normal.png"));
    EXPECT_EQ(plans[1].refusal, "");
}

TEST(PlanJobs, WritesOnlyWhatTheModeAsksFor) {
    auto o = options_for({"x_height.png"}, ".");
    o.from_height = true;
    o.preview = "p.png";
    auto plans = rkcli::plan_jobs(o);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_TRUE(plans[0].height_out.empty());
    EXPECT_EQ(plans[0].normal_out, fs::path("./x_normal.png"));
    EXPECT_EQ(plans[0].preview_out, fs::path("p.png"));

    o = options_for({"x.png"}, ".");
    o.height_only = true;
    plans = rkcli::plan_jobs(o);
    EXPECT_EQ(plans[0].height_out, fs::path("./x_height.png"));
    EXPECT_TRUE(plans[0].normal_out.empty());
}

TEST(PlanJobs, AnInputNamedTwiceIsDoneOnce) {
    TempDir dir;
    const auto a = dir.write("a.png").string();
    const auto plans =
        rkcli::plan_jobs(options_for({a, (dir.path() / "." / "a.png").string(), a}, "out"));
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].refusal, "");
}

TEST(PlanJobs, NeverOverwritesAnInput) {
    TempDir dir;
    const auto photo = dir.write("wall.png").string();
    const auto old_map = dir.write("wall_height.png").string();
    const auto plans = rkcli::plan_jobs(options_for({photo, old_map}, dir.path().string()));
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_NE(plans[0].refusal.find("wall_height.png would overwrite an input file"),
              std::string::npos)
        << plans[0].refusal;
    EXPECT_EQ(plans[1].refusal, "");  // its own outputs are wall_height_height/_normal
}

TEST(PlanJobs, AnInputThatDoesNotExistYetIsNotCreatedByAnother) {
    const auto plans = rkcli::plan_jobs(options_for({"a.png", "./a_normal.png"}, "."));
    EXPECT_NE(plans[0].refusal.find("would overwrite an input file"), std::string::npos);
}

TEST(PlanJobs, SeesThroughLinksToAnInput) {
    TempDir dir;
    const auto photo = dir.write("in/wall.png");
    fs::create_directories(dir / "out");
    fs::create_hard_link(photo, dir / "out/wall_normal.png");
    fs::create_symlink(photo, dir / "out/other_height.png");
    auto o = options_for({photo.string(), (dir / "other.png").string()}, (dir / "out").string());
    dir.write("other.png");
    const auto plans = rkcli::plan_jobs(o);
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_NE(plans[0].refusal.find("wall_normal.png would overwrite"), std::string::npos);
    EXPECT_NE(plans[1].refusal.find("other_height.png would overwrite"), std::string::npos);
}

TEST(PlanJobs, ThePreviewMayNotReplaceAnInputOrAMap) {
    TempDir dir;
    const auto photo = dir.write("wall.png").string();
    auto o = options_for({photo}, dir.path().string());
    o.preview = photo;
    EXPECT_NE(rkcli::plan_jobs(o)[0].refusal.find("would overwrite an input file"),
              std::string::npos);
    o.preview = (dir / "wall_normal.png").string();
    EXPECT_NE(rkcli::plan_jobs(o)[0].refusal.find("would write"), std::string::npos);
}

TEST(PlanJobs, ALaterInputMayNotReplaceAnEarlierOnesMaps) {
    auto o = options_for({"a/wall.png", "b/wall.jpg", "c/floor.png"}, "out");
    auto plans = rkcli::plan_jobs(o);
    ASSERT_EQ(plans.size(), 3u);
    EXPECT_EQ(plans[0].refusal, "");
    EXPECT_EQ(plans[1].refusal, "its output out/wall_height.png is also written for a/wall.png");
    EXPECT_EQ(plans[2].refusal, "");

    o = options_for({"wall.png", "wall_height.png"}, "out");
    o.from_height = true;  // both become wall_normal.png
    plans = rkcli::plan_jobs(o);
    EXPECT_NE(plans[1].refusal.find("also written for wall.png"), std::string::npos);
}

TEST(ExpandInputs, ExpandsPatternsThatNameNoFile) {
    TempDir dir;
    dir.write("a2.png");
    dir.write("a1.png");
    dir.write("b.png");
    dir.write("[x].png");
    const std::string d = dir.path().string() + "/";
    const auto inputs = rkcli::expand_inputs(
        {d + "a*.png", d + "b.png", d + "[x].png", d + "none*.png", d + "missing.png"});
    EXPECT_EQ(inputs,
              (std::vector<std::string>{d + "a1.png", d + "a2.png", d + "b.png", d + "[x].png",
                                        d + "none*.png", d + "missing.png"}));
}
