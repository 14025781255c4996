#include <gtest/gtest.h>

#include "naming.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

TEST(OutputStem, DropsTheExtensionAndForHeightMapsTheSuffix) {
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"photos/wall.jpg", false, "wall"},
        {"wall.tar.png", false, "wall.tar"},
        {"noextension", false, "noextension"},
        {"wall_height.png", false, "wall_height"},
        {"wall_height.png", true, "wall"},
        {"_height.png", true, "_height"},
        {"dir/", false, ""}};
    for (const auto& [input, from_height, stem] : cases) {
        EXPECT_EQ(rkcli::output_stem(input, from_height), stem) << input;
    }
}

namespace {

std::vector<rkcli::JobPlan> plan(std::vector<std::string> inputs, std::string out_dir,
                                 bool from_height = false) {
    rkcli::Options o;
    o.inputs = std::move(inputs);
    o.out_dir = std::move(out_dir);
    o.from_height = from_height;
    return rkcli::plan_jobs(o);
}

}  // namespace

TEST(PlanJobs, NamesTheMapsInTheOutputDirectoryAndDoesAnInputOnce) {
    TempDir dir;
    const std::string a = dir.write("a.png").string();
    const auto plans = plan({a, (dir.path() / "./a.png").string(), "in/b.jpg"}, "out");
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0].height_out, fs::path("out/a_height.png"));
    EXPECT_EQ(plans[1].normal_out, fs::path("out/b_normal.png"));
    EXPECT_EQ(plans[1].refusal, "");
}

TEST(PlanJobs, NeverOverwritesAnInputWhateverItsName) {
    TempDir dir;
    const auto wall = dir.write("wall.png"), other = dir.write("other.png");
    fs::create_directories(dir / "out");
    fs::create_hard_link(wall, dir / "out/wall_normal.png");
    fs::create_symlink(wall, dir / "out/other_height.png");
    auto plans = plan({wall.string(), other.string()}, (dir / "out").string());
    EXPECT_NE(plans[0].refusal.find("wall_normal.png would overwrite an input"), std::string::npos);
    EXPECT_NE(plans[1].refusal.find("other_height.png would overwrite an input"),
              std::string::npos);

    // Also an input that is not there yet, and one named in another spelling.
    plans = plan({(dir / "a.png").string(), (dir.path() / "." / "a_height.png").string(),
                  (dir / "wall.png").string()},
                 dir.path().string());
    EXPECT_NE(plans[0].refusal.find("would overwrite an input"), std::string::npos);
    EXPECT_EQ(plans[2].refusal, "");  // its outputs are wall_height.png and wall_normal.png

    rkcli::Options o;
    o.inputs = {wall.string()};
    o.preview = wall.string();
    EXPECT_NE(rkcli::plan_jobs(o)[0].refusal.find("would overwrite an input"), std::string::npos);
}

TEST(PlanJobs, ALaterInputMayNotReplaceAnEarlierOnesMaps) {
    auto plans = plan({"a/wall.png", "b/wall.jpg", "c/floor.png"}, "out");
    EXPECT_EQ(plans[1].refusal, "its output out/wall_height.png is also written for a/wall.png");
    EXPECT_EQ(plans[2].refusal, "");
    plans = plan({"wall.png", "wall_height.png"}, "out", true);  // both give wall_normal.png
    EXPECT_NE(plans[1].refusal.find("also written for wall.png"), std::string::npos);
}

TEST(ExpandInputs, ExpandsPatternsThatNameNoFile) {
    TempDir dir;
    for (const char* name : {"a2.png", "a1.png", "b.png", "[x].png"}) dir.write(name);
    const std::string d = dir.path().string() + "/";
    EXPECT_EQ(
        rkcli::expand_inputs({d + "a*.png", d + "[x].png", d + "none*.png"}),
        (std::vector<std::string>{d + "a1.png", d + "a2.png", d + "[x].png", d + "none*.png"}));
}
