// The reliefkit program as a user runs it: real files in, real files out.
#include <gtest/gtest.h>

#include <functional>

#include "image_helpers.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";
constexpr float kFlatShade = 147.0f / 255.0f;  // 0.57735 as the PNG writer rounds it

std::u16string wide(const fs::path& path) {
    const std::string s = path.string();  // the tests' paths are ASCII
    return std::u16string(s.begin(), s.end());
}

Img load(const fs::path& path) {
    return Img(load_image(wide(path).c_str()));
}

void save(const fs::path& path, const Img& img) {
    char16_t message[64] = {};
    core_saveimage_png(message, 64, wide(path).c_str(), img.get());
    ASSERT_EQ(message[0], u'\0') << path;
}

// Grey height rising by `step` per column, the same in every row.
Img column_ramp(float start, float step) {
    Img img = make_img(12, 9);
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 12; ++x) {
            const float v = start + step * static_cast<float>(x);
            set_px(img.get(), x, y, {v, v, v, 1.0f});
        }
    return img;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

class Program : public ::testing::Test {
  protected:
    ProgramRun run(std::vector<std::string> args) {
        for (auto& arg : args) arg = arg == "SAMPLE" ? kSample : arg;
        ProgramRun r = run_reliefkit(dir.path(), args);
        EXPECT_NE(r.status, -1) << "crashed\n" << r.err;
        return r;
    }
    TempDir dir;
};

struct StatusCase {
    std::vector<std::string> args;
    int status;
    std::string err_part;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    for (const auto& arg : c.args) *os << arg << ' ';
}

class ExitStatus : public Program, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatus, SaysHowItWent) {
    const ProgramRun r = run(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_TRUE(has(r.err, GetParam().err_part)) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus,
    ::testing::Values(
        StatusCase{{"SAMPLE", "-o", "out"}, 0, ""}, StatusCase{{"--help"}, 0, ""},
        StatusCase{{"--mode", "delit", "SAMPLE", "-o", "out"}, 0, ""},
        StatusCase{{}, 2, "reliefkit: no input files\nUsage: reliefkit"},
        StatusCase{{"--strength", "0", "SAMPLE"}, 2, "--strength: takes a whole number"},
        StatusCase{{"--preview", "p.png", "a.png", "b.png"}, 2, "exactly one input"},
        StatusCase{{"missing.png"}, 1, "reliefkit: cannot read missing.png: no such file"},
        StatusCase{{"."}, 1, "cannot read .: not a regular file"},
        StatusCase{{"/dev/null"}, 1, "cannot read /dev/null: not a regular file"},
        StatusCase{{"-o", "SAMPLE", "SAMPLE"}, 1, "cannot create the output directory"},
        StatusCase{{"--preview", "no/dir/p.png", "SAMPLE"},
                   1,
                   "cannot write no/dir/p.png: Could not open output file."}));

TEST_F(Program, BatchWithBadFilesWritesTheGoodOnesAndNamesTheBad) {
    fs::copy_file(kSample, dir / "one.png");
    fs::copy_file(kSample, dir / "two.png");
    dir.write("notes.png", "these are not pixels");
    dir.write("cut.png", file_bytes(kSample).substr(0, 300));
    const auto r = run({"-j", "3", "-o", "out", "one.png", "notes.png", "two.png", "cut.png"});
    EXPECT_EQ(r.status, 1);
    for (const std::string made : {"one_height", "one_normal", "two_height", "two_normal"}) {
        EXPECT_TRUE(has(r.out, "out/" + made + ".png\n")) << made;
        EXPECT_TRUE(load(dir / "out" / (made + ".png"))) << made;
    }
    for (const std::string bad : {"notes", "cut"}) {
        EXPECT_FALSE(fs::exists(dir / "out" / (bad + "_height.png"))) << bad;
        // The name, then the readers' reasons, indented.
        EXPECT_TRUE(has(r.err, "reliefkit: cannot read " + bad + ".png:\n  ")) << r.err;
    }
    EXPECT_TRUE(has(r.err, "reliefkit: 2 of 4 inputs done; 2 failed:\n  notes.png\n  cut.png\n"))
        << r.err;
}

TEST_F(Program, FromHeightMakesOnlyTheNormalMap) {
    save(dir / "ramp_height.png", column_ramp(0.0f, 1.0f / 16));
    const auto r = run({"--from-height", "-o", "out", "ramp_height.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "out/ramp_normal.png\n");
    Img normal = load(dir / "out/ramp_normal.png");
    ASSERT_TRUE(normal);
    EXPECT_EQ(get_px(normal.get(), 0, 0), (Px{128 / 255.0f, 128 / 255.0f, 1.0f, 1.0f}));
    for (uint32_t x = 1; x < 11; ++x) {
        const Px p = get_px(normal.get(), x, 4);
        EXPECT_LT(p[0], 0.45f) << x;               // rising to the right: facing left
        EXPECT_NEAR(p[1], 0.5f, 0.6f / 255) << x;  // level down the picture
    }
}

TEST_F(Program, ChannelsReorderTheNormalMapFile) {
    ASSERT_EQ(run({"-o", "plain", "--resize", "64x64", kSample}).status, 0);
    ASSERT_EQ(run({"-o", "grb", "--resize", "64x64", "--channels", "grb", kSample}).status, 0);
    ASSERT_EQ(run({"-o", "bbb", "--resize", "64x64", "--channels", "bbb", kSample}).status, 0);
    Img plain = load(dir / "plain/bricks_normal.png");
    Img grb = load(dir / "grb/bricks_normal.png"), bbb = load(dir / "bbb/bricks_normal.png");
    ASSERT_TRUE(plain && grb && bbb);
    ASSERT_EQ(imgbuf_w(plain.get()), 64u);
    int differing = 0;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            const Px p = get_px(plain.get(), x, y);
            ASSERT_EQ(get_px(grb.get(), x, y), (Px{p[1], p[0], p[2], 1.0f})) << x << "," << y;
            ASSERT_EQ(get_px(bbb.get(), x, y), (Px{p[2], p[2], p[2], 1.0f})) << x << "," << y;
            differing += p[0] != p[1];
        }
    EXPECT_GT(differing, 100);  // the swap was visible
}

struct PreviewCase {
    const char* what;
    float start, step;
    std::vector<std::string> options;
    std::function<bool(float)> inside;  // expected shade of an interior pixel
};

void PrintTo(const PreviewCase& c, std::ostream* os) {
    *os << c.what;
}

class Preview : public Program, public ::testing::WithParamInterface<PreviewCase> {};

TEST_P(Preview, ShowsTheReliefLitFromTheUpperLeft) {
    save(dir / "h.png", column_ramp(GetParam().start, GetParam().step));
    std::vector<std::string> args = GetParam().options;
    args.insert(args.end(), {"--from-height", "--preview", "p.png", "h.png"});
    const auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    Img preview = load(dir / "p.png");
    ASSERT_TRUE(preview);
    EXPECT_EQ(get_px(preview.get(), 0, 0)[0], kFlatShade);  // the flat border
    const Px inside = get_px(preview.get(), 6, 4);
    EXPECT_EQ(inside[0], inside[1]);
    EXPECT_TRUE(GetParam().inside(inside[0])) << inside[0] * 255;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Preview,
    ::testing::Values(
        PreviewCase{"flat", 0.5f, 0.0f, {}, [](float s) { return s == kFlatShade; }},
        PreviewCase{"flat, blurred normals",
                    0.5f,
                    0.0f,
                    {"--normal-blur-size", "5"},
                    [](float s) { return s == kFlatShade; }},
        PreviewCase{
            "facing the light", 0.0f, 0.05f, {}, [](float s) { return s > kFlatShade + 0.1f; }},
        PreviewCase{"facing away", 0.6f, -0.05f, {}, [](float s) { return s < kFlatShade - 0.1f; }},
        PreviewCase{"facing the light, x inverted", 0.0f, 0.05f, {"--invert-x"}, [](float s) {
                        return s > kFlatShade + 0.1f;
                    }}));

TEST_F(Program, NeverOverwritesAnInputFile) {
    fs::copy_file(kSample, dir / "wall.png");
    fs::copy_file(kSample, dir / "wall_height.png");
    const auto r = run({"wall.png", "wall_height.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "wall.png skipped: its output ./wall_height.png would overwrite"));
    EXPECT_EQ(file_bytes(dir / "wall_height.png"), file_bytes(kSample));
    EXPECT_FALSE(fs::exists(dir / "wall_normal.png"));
    EXPECT_TRUE(fs::exists(dir / "wall_height_normal.png"));  // the other input went ahead
}
