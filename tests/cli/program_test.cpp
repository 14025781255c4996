// The reliefkit program as a user runs it: real files in, real files out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "image_helpers.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";

std::u16string wide(const fs::path& path) {
    const std::string s = path.string();  // test paths are ASCII
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

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Height rising by `step` per column from `start`; the same in every row.
Img column_ramp(uint32_t w, uint32_t h, float start, float step) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const float v = start + step * static_cast<float>(x);
            set_px(img.get(), x, y, {v, v, v, 1.0f});
        }
    return img;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

constexpr float kFlatShade = 147.0f / 255.0f;  // 0.57735 as the PNG writer rounds it

}  // namespace

class Program : public ::testing::Test {
  protected:
    ProgramRun run(const std::vector<std::string>& args) {
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
    *os << "args";
    for (const std::string& arg : c.args) *os << ' ' << arg;
}

class ExitStatus : public Program, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ExitStatus, SaysHowItWent) {
    std::vector<std::string> args = GetParam().args;
    for (auto& arg : args) {
        if (arg == "SAMPLE") arg = kSample;
    }
    const ProgramRun r = run(args);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_TRUE(contains(r.err, GetParam().err_part)) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus,
    ::testing::Values(
        StatusCase{{"SAMPLE", "-o", "out"}, 0, ""}, StatusCase{{"--help"}, 0, ""},
        StatusCase{{"--version"}, 0, ""},
        StatusCase{{}, 2, "reliefkit: no input files\nUsage: reliefkit"},
        StatusCase{{"--strength", "0", "SAMPLE"}, 2, "--strength: takes a whole number"},
        StatusCase{{"--bogus", "SAMPLE"}, 2, "unknown option --bogus"},
        StatusCase{{"--preview", "p.png", "a.png", "b.png"}, 2, "exactly one input"},
        StatusCase{{"missing.png"}, 1, "reliefkit: cannot read missing.png: no such file"},
        StatusCase{{"."}, 1, "cannot read .: it is a directory"},
        StatusCase{{"-o", "SAMPLE", "SAMPLE"}, 1, "cannot create the output directory"}));

TEST_F(Program, HelpExplainsEveryParameter) {
    const ProgramRun r = run({"--help"});
    for (const char* option :
         {"--out-dir",          "--height-only",     "--from-height", "--preview",
          "--channels",         "--resize",          "--jobs",        "--mode",
          "--invert-red",       "--invert-green",    "--invert-blue", "--auto-levels",
          "--midpoint",         "--clamp-low",       "--clamp-high",  "--detail-size",
          "--detail-threshold", "--smooth-size",     "--smooth-kind", "--weights",
          "--strength",         "--center-weight",   "--invert-x",    "--invert-y",
          "--normal-blur-size", "--normal-blur-kind"}) {
        EXPECT_TRUE(contains(r.out, option)) << option;
    }
    EXPECT_TRUE(contains(r.out, "Exit status: 0 all inputs done, 1 some inputs failed, 2 usage"));
}

TEST_F(Program, BundledPhotoGivesAHeightMapAndANormalMap) {
    const ProgramRun r = run({kSample, "-o", "out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "out/bricks_height.png\nout/bricks_normal.png\n");
    Img height = load(dir / "out/bricks_height.png");
    Img normal = load(dir / "out/bricks_normal.png");
    ASSERT_TRUE(height && normal);
    EXPECT_EQ(imgbuf_w(height.get()), 512u);
    EXPECT_EQ(imgbuf_h(normal.get()), 512u);

    double red = 0, green = 0, blue = 0;
    float lowest = 1.0f;
    for (uint32_t y = 0; y < 512; ++y)
        for (uint32_t x = 0; x < 512; ++x) {
            const Px h = get_px(height.get(), x, y);
            ASSERT_EQ(h[0], h[1]);
            ASSERT_EQ(h[0], h[2]);
            lowest = std::min(lowest, h[0]);
            const Px n = get_px(normal.get(), x, y);
            red += n[0];
            green += n[1];
            blue += n[2];
        }
    EXPECT_LT(lowest, 0.05f);  // auto-levels is on by default; the blurs lift the floor a little
    // A wall seen head-on: the normals lean every way about equally and mostly face out.
    EXPECT_NEAR(red / (512 * 512), 0.5, 0.05);
    EXPECT_NEAR(green / (512 * 512), 0.5, 0.05);
    EXPECT_GT(blue / (512 * 512), 0.6);
}

TEST_F(Program, BatchWithBadFilesWritesTheGoodOnesAndNamesTheBad) {
    fs::copy_file(kSample, dir / "one.png");
    fs::copy_file(kSample, dir / "two.png");
    dir.write("notes.png", "these are not pixels");
    dir.write("cut.png", bytes_of(kSample).substr(0, 300));
    const ProgramRun r =
        run({"-j", "3", "-o", "out", "one.png", "notes.png", "two.png", "cut.png"});
    EXPECT_EQ(r.status, 1);
    for (const char* made :
         {"one_height.png", "one_normal.png", "two_height.png", "two_normal.png"}) {
        EXPECT_TRUE(fs::exists(dir / "out" / made)) << made;
        EXPECT_TRUE(contains(r.out, std::string("out/") + made + "\n")) << made;
    }
    for (const char* bad : {"notes", "cut"}) {
        EXPECT_FALSE(fs::exists(dir / "out" / (std::string(bad) + "_height.png"))) << bad;
        // The name, then the readers' reasons, indented.
        EXPECT_TRUE(contains(r.err, std::string("reliefkit: cannot read ") + bad + ".png:\n  "))
            << r.err;
    }
    EXPECT_TRUE(
        contains(r.err, "reliefkit: 2 of 4 inputs done; 2 failed:\n  notes.png\n  cut.png\n"))
        << r.err;
}

TEST_F(Program, QuotedPatternIsExpanded) {
    fs::create_directories(dir / "in");
    fs::copy_file(kSample, dir / "in/a.png");
    fs::copy_file(kSample, dir / "in/b.png");
    const ProgramRun r = run({"--height-only", "-o", "out", "in/*.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "out/a_height.png\nout/b_height.png\n");
}

TEST_F(Program, HeightOnlyWritesNoNormalMap) {
    const ProgramRun r = run({"--height-only", kSample});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "bricks_height.png"));
    EXPECT_FALSE(fs::exists(dir / "bricks_normal.png"));
}

TEST_F(Program, FromHeightMakesOnlyTheNormalMap) {
    save(dir / "ramp_height.png", column_ramp(16, 8, 0.0f, 1.0f / 16));
    const ProgramRun r = run({"--from-height", "-o", "out", "ramp_height.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "out/ramp_normal.png\n");
    EXPECT_FALSE(fs::exists(dir / "out/ramp_height.png"));
    Img normal = load(dir / "out/ramp_normal.png");
    ASSERT_TRUE(normal);
    EXPECT_EQ(get_px(normal.get(), 0, 0),
              (Px{128 / 255.0f, 128 / 255.0f, 1.0f, 1.0f}));  // flat border
    for (uint32_t x = 1; x < 15; ++x) {
        const Px p = get_px(normal.get(), x, 4);
        EXPECT_LT(p[0], 0.45f) << x;               // rising to the right: the surface faces left
        EXPECT_NEAR(p[1], 0.5f, 0.6f / 255) << x;  // no slope down the picture
    }
}

TEST_F(Program, ChannelsReorderTheNormalMapFile) {
    ASSERT_EQ(run({"-o", "plain", kSample}).status, 0);
    ASSERT_EQ(run({"-o", "swapped", "--channels", "grb", kSample}).status, 0);
    ASSERT_EQ(run({"-o", "blue", "--channels", "bbb", kSample}).status, 0);
    Img plain = load(dir / "plain/bricks_normal.png");
    Img swapped = load(dir / "swapped/bricks_normal.png");
    Img blue = load(dir / "blue/bricks_normal.png");
    ASSERT_TRUE(plain && swapped && blue);
    int differing = 0;
    for (uint32_t y = 0; y < 512; y += 7)
        for (uint32_t x = 0; x < 512; x += 5) {
            const Px p = get_px(plain.get(), x, y);
            const Px s = get_px(swapped.get(), x, y);
            const Px b = get_px(blue.get(), x, y);
            ASSERT_EQ(s, (Px{p[1], p[0], p[2], 1.0f})) << x << "," << y;
            ASSERT_EQ(b, (Px{p[2], p[2], p[2], 1.0f})) << x << "," << y;
            differing += p[0] != p[1];
        }
    EXPECT_GT(differing, 100);  // the swap was visible
    EXPECT_EQ(bytes_of(dir / "plain/bricks_height.png"),
              bytes_of(dir / "swapped/bricks_height.png"));
}

struct PreviewCase {
    const char* what;
    std::function<Img()> height;
    std::vector<std::string> options;
    std::function<bool(float)> interior;  // shade of an interior pixel
};

void PrintTo(const PreviewCase& c, std::ostream* os) {
    *os << c.what;
}

class Preview : public Program, public ::testing::WithParamInterface<PreviewCase> {};

TEST_P(Preview, ShowsTheReliefLitFromTheUpperLeft) {
    save(dir / "h.png", GetParam().height());
    std::vector<std::string> args = {"--from-height", "--preview", "p.png"};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.push_back("h.png");
    const ProgramRun r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "p.png\n"));
    Img preview = load(dir / "p.png");
    ASSERT_TRUE(preview);
    ASSERT_EQ(imgbuf_w(preview.get()), 12u);
    const Px corner = get_px(preview.get(), 0, 0);
    const Px inside = get_px(preview.get(), 6, 4);
    EXPECT_EQ(corner[0], corner[1]);
    EXPECT_EQ(inside[0], inside[2]);
    EXPECT_TRUE(GetParam().interior(inside[0])) << GetParam().what << ": " << inside[0] * 255;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Preview,
    ::testing::Values(PreviewCase{"flat",
                                  [] { return column_ramp(12, 9, 0.5f, 0.0f); },
                                  {},
                                  [](float s) { return s == kFlatShade; }},
                      PreviewCase{"flat, blurred normals",
                                  [] { return column_ramp(12, 9, 0.5f, 0.0f); },
                                  {"--normal-blur-size", "5"},
                                  [](float s) { return s == kFlatShade; }},
                      PreviewCase{"facing left, towards the light",
                                  [] { return column_ramp(12, 9, 0.0f, 0.05f); },
                                  {},
                                  [](float s) { return s > kFlatShade + 0.1f; }},
                      PreviewCase{"facing right, away from the light",
                                  [] { return column_ramp(12, 9, 0.6f, -0.05f); },
                                  {},
                                  [](float s) { return s < kFlatShade - 0.1f; }},
                      PreviewCase{"facing left, map made for a left-pointing x",
                                  [] { return column_ramp(12, 9, 0.0f, 0.05f); },
                                  {"--invert-x"},
                                  [](float s) { return s > kFlatShade + 0.1f; }}));

TEST_F(Program, ResizeScalesEveryOutput) {
    const ProgramRun r = run({"--resize", "64x32", "--preview", "p.png", kSample});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* file : {"bricks_height.png", "bricks_normal.png", "p.png"}) {
        Img img = load(dir / file);
        ASSERT_TRUE(img) << file;
        EXPECT_EQ(imgbuf_w(img.get()), 64u) << file;
        EXPECT_EQ(imgbuf_h(img.get()), 32u) << file;
    }
}

TEST_F(Program, NeverOverwritesAnInputFile) {
    fs::copy_file(kSample, dir / "wall.png");
    fs::copy_file(kSample, dir / "wall_height.png");
    const std::string before = bytes_of(dir / "wall_height.png");
    const ProgramRun r = run({"wall.png", "wall_height.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err,
                         "wall.png skipped: its output ./wall_height.png would overwrite an "
                         "input file"))
        << r.err;
    EXPECT_EQ(bytes_of(dir / "wall_height.png"), before);
    EXPECT_FALSE(fs::exists(dir / "wall_normal.png"));
    EXPECT_TRUE(fs::exists(dir / "wall_height_normal.png"));  // the other input went ahead
}

TEST_F(Program, AFailedSavePrintsTheSaversMessage) {
    const ProgramRun r = run({"--preview", "no/such/dir/p.png", kSample});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "cannot write no/such/dir/p.png: Could not open output file."))
        << r.err;
    EXPECT_TRUE(fs::exists(dir / "bricks_normal.png"));
}
