// The reliefkit program as a user runs it: real files in, real files out.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>

#include "image_helpers.h"
#include "png_test_io.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";
constexpr float kFlatShade = 147.0f / 255.0f;  // 0.57735 as the PNG writer rounds it

Img load(const fs::path& path) {
    return Img(load_image(widen(path).c_str()));
}

// A 12 x 9 grey height file of 8-bit levels rising by `step` per column.
void save_ramp(const fs::path& path, int start, int step) {
    png_test::Fixture f;
    f.width = 12, f.height = 9, f.color_type = PNG_COLOR_TYPE_GRAY;
    for (int i = 0; i < 12 * 9; ++i)
        f.rows.push_back(static_cast<uint8_t>(start + step * (i % 12)));
    write_bytes(path, png_test::encode(f));
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Program : public ::testing::Test {
  protected:
    ProgramRun run(std::vector<std::string> args) {
        ProgramRun r = run_reliefkit(dir.path(), args);
        EXPECT_NE(r.status, -1) << "crashed\n" << r.err;
        return r;
    }
    TempDir dir;
};

// The option refusals themselves are the parser's tests; here, one of each status.
// An input is never overwritten, the other inputs go ahead.
TEST_F(Program, ExitStatusSaysHowItWent) {
    fs::copy_file(kSample, dir / "wall.png");
    fs::copy_file(kSample, dir / "wall_height.png");
    ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{kSample, "-o", "out"}, 0, ""},
        {{"--help"}, 0, ""},
        {{"--mode", "delit", kSample, "-o", "out"}, 0, ""},
        {{}, 2, "reliefkit: no input files\nUsage: reliefkit"},
        {{"missing.png"}, 1, "reliefkit: cannot read missing.png: no such file"},
        {{"/dev/null"}, 1, "cannot read /dev/null: not a regular file"},
        {{"-o", kSample, kSample}, 1, "cannot create the output directory"},
        {{"--preview", "no/dir/p.png", kSample}, 1, "cannot write no/dir/p.png: Could not open"},
        {{"--threads", "x", kSample}, 2, "--threads"},
        {{"serve", "--port", "70000"}, 2, "--port"},
        {{"serve", "a.png", "b.png"}, 2, ""},
        {{"serve", "missing.png"}, 1, "missing.png"},
        {{"serve", "pipe.png"}, 1, "cannot read pipe.png: not a regular file"},
        {{"serve", "/dev/zero"}, 1, "cannot read /dev/zero: not a regular file"},
        {{"serve", "--help"}, 0, ""},
        {{"serve", "--port=70000"}, 2, "--port takes a whole number"},
        {{"serve", "--listen="}, 2, "--listen needs an address"},
        {{"serve", "--port=0", "--bogus"}, 2, "serve: unknown option --bogus\n"},
        {{"serve", "--open=1"}, 2, "--open takes no value"},
        {{"serve", "-p", "0"}, 2, "unknown option -p\n"},
        {{"serve", "--", "--x.png"}, 1, "cannot read --x.png"},
        {{"--photometric", "--", "a.png", "-o", "b.png"}, 1,
         "reliefkit: cannot read a.png: no such file\n"},
        {{"wall.png", "wall_height.png"}, 1, "wall.png skipped: its output ./wall_height.png"},
        // A name's line break is printed as \n: the message keeps to its line.
        {{"a\nb.png", "a\nb.jpg"}, 1,
         "a\\nb.jpg skipped: its output ./a\\nb_height.png is also written for a\\nb.png\n"},
        // The report replaces its file: never an input, a planned map or the manifest.
        {{"--report", "wall_height.png", "-o", "o", "wall_height.png"}, 2, "is the input"},
        {{"--report", "wall_normal.png", "wall.png"}, 2, "is the output ./wall_normal.png"},
        {{"-o", "o", "--skip-unchanged", "--report", "o/.reliefkit-manifest.json", "wall.png"},
         2, "is the manifest's file"},
    };
    for (const auto& [args, status, err] : cases) {
        const ProgramRun r = run(args);
        EXPECT_EQ(r.status, status) << testing::PrintToString(args) << r.err;
        EXPECT_TRUE(has(r.err, err)) << r.err;
        EXPECT_EQ(r.err.empty(), status == 0) << r.err;
    }
    EXPECT_EQ(file_bytes(dir / "wall_height.png"), file_bytes(kSample));
    EXPECT_TRUE(fs::exists(dir / "wall_height_normal.png"));
    // The listing or the help that cannot be written is a failure too.
    for (const std::string& args : {std::string("--help"), "-o out " + kSample}) {
        const std::string command = RK_CLI_PROGRAM " " + args + " >/dev/full 2>/dev/null";
        EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1) << args;
    }
}

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
    EXPECT_TRUE(has(r.err, "reliefkit: 2 of 4 inputs done; 2 failed:\n  notes.png\n  cut.png\n"));
}

// SIGINT at five moments of a -j 2 batch leaves no temporary file: only whole maps.
TEST_F(Program, InterruptedBatchLeavesNoTemporaryFile) {
    const Img big(imgbuf_resample(load(kSample).get(), 1200, 1200));
    char16_t message[64];
    for (const char* name : {"a.png", "b.png", "c.png"})
        core_saveimage_png(message, 64, widen(dir / name).c_str(), big.get());
    const auto run = [&](const std::string& limit) {
        const std::string command = "cd '" + dir.str() + "' && " + limit +
                                    RK_CLI_PROGRAM " -q -j 2 --depth 16 -o out a.png b.png c.png";
        return std::system(command.c_str());
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run(""), 0);
    const std::chrono::duration<double> whole = std::chrono::steady_clock::now() - start;
    for (int sixth = 1; sixth < 6; ++sixth) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        run("timeout -s INT " + std::to_string(whole.count() * sixth / 6) + " ");
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            EXPECT_TRUE(load(entry.path())) << entry.path() << " at " << sixth << " sixths";
    }
}

// Past the file-size limit (ulimit -f) a save fails like one on a full disk:
// the map is named, the run goes on to its end and says it failed, and no
// temporary or partial file is left.
TEST_F(Program, FileSizeLimitFailsTheSaveNotTheProcess) {
    const Img photo(imgbuf_resample(load(kSample).get(), 300, 300));
    char16_t message[64];
    core_saveimage_png(message, 64, widen(dir / "a.png").c_str(), photo.get());
    const std::string command = "cd '" + dir.str() + "' && ulimit -f 16 && " RK_CLI_PROGRAM
                                " -q --depth 16 -o out a.png 2> err.txt";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(has(file_bytes(dir / "err.txt"), "a_height.png")) << file_bytes(dir / "err.txt");
    for (const auto& entry : fs::directory_iterator(dir / "out"))
        EXPECT_TRUE(load(entry.path())) << entry.path();
}

// Stopped while a save is under way, by Ctrl-C in a photometric capture, by
// a listing nobody reads any more or by a closed terminal, a run ends with 128 + the signal and leaves
// whole maps only, no temporary file.
TEST_F(Program, StoppedMidSaveLeavesOnlyWholeFiles) {
    const Img big(imgbuf_resample(load(kSample).get(), 1200, 1200));
    char16_t message[64];
    for (const char* name : {"a.png", "b.png", "c.png"})
        core_saveimage_png(message, 64, widen(dir / name).c_str(), big.get());
    const std::tuple<std::vector<std::string>, int> cases[] = {
        {{"--photometric", "a.png=0", "b.png=90", "c.png=180"}, SIGINT},
        {{"-j", "2", "a.png", "b.png", "c.png"}, SIGPIPE},
        {{"-j", "2", "a.png", "b.png", "c.png"}, SIGHUP},  // the terminal closed
    };
    for (auto [args, signal] : cases) {
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        args.insert(args.begin(), {RK_CLI_PROGRAM, "--depth", "16", "-o", "out"});
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int listing[2];
        ASSERT_EQ(::pipe(listing), 0);
        ::close(listing[0]);  // SIGPIPE: nobody reads the listing
        const pid_t child = ::fork();
        if (child == 0) {
            const int nowhere = ::open("/dev/null", O_WRONLY);
            ::dup2(signal == SIGPIPE ? listing[1] : nowhere, 1);
            ::dup2(nowhere, 2);
            ::signal(signal, SIG_DFL);  // as a terminal's command gets it, whatever ran the test
            if (::chdir(dir.str().c_str()) == 0) ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(listing[1]);
        auto saving = [&] {
            for (const auto& entry : fs::directory_iterator(dir / "out"))
                if (entry.path().extension() == ".tmp") return true;
            return false;
        };
        int status = 0;
        pid_t ended = 0;
        if (signal != SIGPIPE) {
            while (!saving() && (ended = ::waitpid(child, &status, WNOHANG)) == 0) ::usleep(1000);
            if (ended == 0) ::kill(child, signal);
        }
        if (ended == 0) {
            ASSERT_EQ(::waitpid(child, &status, 0), child);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << args[5] << status;
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            EXPECT_TRUE(load(entry.path())) << entry.path();
    }
}

// --threads and -j change how long the command takes, never a byte it writes.
TEST_F(Program, ThreadsKeepEveryByte) {
    fs::copy_file(kSample, dir / "copy.png");
    ASSERT_EQ(run({"--threads", "1", "-o", "one", kSample}).status, 0);
    ASSERT_EQ(run({"--threads", "3", "-j", "2", "-o", "many", kSample, "copy.png"}).status, 0);
    for (const std::string map : {"bricks_height.png", "bricks_normal.png"}) {
        EXPECT_FALSE(file_bytes(dir / "one" / map).empty());
        EXPECT_EQ(file_bytes(dir / "one" / map), file_bytes(dir / "many" / map)) << map;
    }
    EXPECT_EQ(file_bytes(dir / "one/bricks_normal.png"), file_bytes(dir / "many/copy_normal.png"));
}

// From a height file, the normal map alone, and a preview lit from the upper left:
// a slope rising to the right faces left, towards the light.
TEST_F(Program, FromHeightPreviewShowsTheReliefLitFromTheUpperLeft) {
    const std::tuple<int, int, std::vector<std::string>, int> cases[] = {
        {128, 0, {}, 0},
        {128, 0, {"--normal-blur-size", "5"}, 0},
        {0, 13, {}, 1},
        {153, -13, {}, -1},
        {0, 13, {"--invert-x"}, 1},
        {0, 13, {"--invert-y"}, 1},
    };
    for (const auto& [start, step, options, lit] : cases) {
        SCOPED_TRACE(testing::PrintToString(options) + std::to_string(step));
        save_ramp(dir / "ramp_height.png", start, step);
        std::vector<std::string> args = options;
        args.insert(args.end(), {"--from-height", "--preview", "p.png", "ramp_height.png"});
        const auto r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.out, "ramp_normal.png\n") && !has(r.out, "_height")) << r.out;
        Img preview = load(dir / "p.png");
        ASSERT_TRUE(preview);
        EXPECT_EQ(get_px(preview.get(), 0, 0)[0], kFlatShade);  // the flat border
        const Px inside = get_px(preview.get(), 6, 4);
        EXPECT_EQ(inside[0], inside[1]);
        EXPECT_TRUE(lit == 0 ? inside[0] == kFlatShade : (inside[0] - kFlatShade) * lit > 0.1f)
            << inside[0] * 255;
    }
}

// A capture of a slope rising to the right (dh/dx = 0.5) under four lights at
// 45 degrees, the ambient share 0.2: the maps named after the first photograph,
// the normal facing left, and heights from that normal map rising again.
TEST_F(Program, PhotometricCaptureFromNormalAndTheLight) {
    const float nx = -0.4472136f, nz = 0.8944272f, pi = 3.14159265f;
    for (const int az : {0, 90, 180, 270}) {
        const float a = static_cast<float>(az) * pi / 180.0f;
        const float v = 0.7f * (0.2f + std::max(0.0f, 0.70710678f * (nx * std::cos(a) + nz)));
        const Img photo = filled(16, 12, {v, v, v, 1.0f});
        char16_t message[64];
        core_saveimage_png(message, 64, widen(dir / (std::to_string(az) + ".png")).c_str(),
                           photo.get());
    }
    fs::copy_file(dir / "0.png", dir / "z=9");  // a file, though it looks like one with a light
    fs::copy_file(dir / "0.png", dir / "a\nb.png");
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"--photometric", "0.png=0", "90.png=90", "180.png=180", "270.png=270", "--depth", "16"},
         0, "./0_normal.png\n./0_albedo.png\n./0_height.png\n", ""},
        {{"--from-normal", "0_normal.png", "-o", "back"}, 0, "back/0_height.png", ""},
        {{"--from-normal", "0_normal.png", "--gltf", "-o", "g"}, 0, "g/0.gltf", ""},
        {{"-v", "--light", "-90", "0.png", "-o", "one"}, 0, "", "light given: azimuth 270,"},
        {{"-v", "--light", "-0", "0.png", "-o", "one"}, 0, "", "light given: azimuth 0,"},
        {{"-v", "--light", "0", "a\nb.png", "-o", "n"}, 0, "", "reliefkit: a\\nb.png: light given"},
        {{"--photometric", "-v", "0.png=0:30", "90.png=90", "180.png=180", "270.png=270", "-o",
          "e"},
         0, "", "0.png: light given: azimuth 0, elevation 30"},
        {{"--photometric", "0.png=+0", "90.png", "180.png"}, 2, "", "\"+0\" in 0.png=+0 is no"},
        {{"--photometric", "z=9", "90.png", "180.png", "-o", "q"}, 1, "", ": z=9 and the others"},
        {{"--photometric", "0.png", "90.png"}, 2, "", "3 to 32 photographs"},
        {{"--photometric", "0.png=0", "180.png=180", "0.png=0", "-o", "x"}, 1, "", "in one plane"},
    };
    for (const auto& [args, status, out, err] : cases) {
        const ProgramRun r = run(args);
        EXPECT_EQ(r.status, status) << testing::PrintToString(args) << r.err;
        EXPECT_TRUE(has(r.out, out) && has(r.err, err)) << r.out << r.err;
    }
    const Img normal = load(dir / "0_normal.png"), back = load(dir / "back/0_height.png");
    ASSERT_TRUE(normal && back);
    EXPECT_NEAR(get_px(normal.get(), 8, 6)[0], 0.5f + 0.5f * nx, 0.01f);
    EXPECT_LT(get_px(back.get(), 2, 6)[0] + 0.5f, get_px(back.get(), 13, 6)[0]);
    // The relief's own depth over the long side (about 7.5 / 16), not 16 / 16.
    const std::vector<uint8_t> gltf = read_bytes(dir / "g/0.gltf");
    const std::string text(gltf.begin(), gltf.end());
    const size_t at = text.find("\"scale\":");
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::stof(text.substr(at + 8)), 7.5f / 16.0f, 0.05f);
}

}  // namespace
