#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "image_helpers.h"
#include "png_test_io.h"
#include "temp_dir.h"

using namespace png_test;
namespace fs = std::filesystem;

namespace {

struct Selectors {
    int r, g, b;
    int from[3];  // image channel expected in the file's red, green, blue
};

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The plain saver, or the normal-map one when selectors are given.
std::u16string save(const fs::path& path, const imgbuf* img, std::optional<Selectors> s = {}) {
    char16_t msg[128];
    const std::u16string target = widen(path);
    if (s)
        core_saveimage_nmap_png(msg, 128, target.c_str(), img, s->r, s->g, s->b);
    else
        core_saveimage_png(msg, 128, target.c_str(), img);
    return msg;
}

// Pixel (x, y) holds channel c = k / 255 with k unique per pixel and channel;
// k / 255 is written as the byte k whatever the rounding of the division.
int code(uint32_t x, uint32_t y, int c) {
    return static_cast<int>((y * 5 + x) * 4 + c) * 3 + 7;
}

Bytes decoded_pixels(const Bytes& file) {
    const auto d = decode(file);
    EXPECT_TRUE(d);
    return d ? d->pixels : Bytes{};
}

class ChannelBytes : public ::testing::TestWithParam<std::optional<Selectors>> {};

// The plain saver writes red, green and blue, the normal-map one the channels
// chosen and never alpha: the exact bytes, as 8-bit RGB and nothing beyond the
// image (no gamma, text or time chunk), the image untouched.
TEST_P(ChannelBytes, AreExactInAFileOfTheImageAlone) {
    const std::optional<Selectors> s = GetParam();
    Img img = make_img(5, 2);  // rows of 15 bytes, not a multiple of 4
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            Px px;
            for (int c = 0; c < 4; ++c) px[c] = static_cast<float>(code(x, y, c)) / 255.0f;
            set_px(img.get(), x, y, px);
        }
    const uint64_t before = fingerprint(img.get());
    TempDir dir;
    ASSERT_EQ(save(dir / "out.png", img.get(), s), u"");
    EXPECT_EQ(fingerprint(img.get()), before);
    const Bytes file = read_bytes(dir / "out.png");
    const int plain[3] = {0, 1, 2};
    Bytes want;
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            for (int c : s ? s->from : plain) want.push_back(static_cast<uint8_t>(code(x, y, c)));
    EXPECT_EQ(decoded_pixels(file), want);
    // 5 x 2, 8-bit RGB, compression 0, filter 0, not interlaced.
    const auto ihdr = find_chunk(file, "IHDR");
    ASSERT_TRUE(ihdr);
    EXPECT_EQ(Bytes(file.begin() + ihdr->offset + 8, file.begin() + ihdr->offset + 21),
              (Bytes{0, 0, 0, 5, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
    std::vector<std::string> types;
    for (const Chunk& c : chunks(file))
        if (types.empty() || types.back() != c.type) types.push_back(c.type);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.png"});
}

INSTANTIATE_TEST_SUITE_P(Table, ChannelBytes,
                         ::testing::Values(std::nullopt, Selectors{1, 0, 2, {1, 0, 2}},
                                           Selectors{2, 1, 0, {2, 1, 0}},
                                           Selectors{3, -1, 0, {2, 2, 0}},
                                           Selectors{INT32_MIN, 1, INT32_MAX, {2, 1, 2}}));

// The message goes into the host's buffer cut short to fit, always terminated,
// and never outside it; without a buffer nothing is written.
TEST(PngSaver, MessageBufferIsRespected) {
    const Img img = filled(2, 2, {0.1f, 0.2f, 0.3f, 1.0f});
    TempDir dir;
    const std::u16string good = widen(dir / "ok.png");
    // '#' marks characters left untouched.
    const std::tuple<int32_t, const char16_t*, std::u16string> cases[] = {
        {-7, u"", u"########"},
        {5, u"", std::u16string(u"Coul") + u'\0' + u"###"},
        {1, good.c_str(), std::u16string(1, u'\0') + u"#######"},
    };
    for (const auto& [capacity, path, expected] : cases) {
        std::u16string buf(8, u'#');
        core_saveimage_png(buf.data(), capacity, path, img.get());
        EXPECT_EQ(buf, expected) << capacity;
    }
    fs::remove(dir / "ok.png");
    core_saveimage_nmap_png(nullptr, 100, good.c_str(), img.get(), 1, 1, 1);
    EXPECT_TRUE(decode(read_bytes(dir / "ok.png")));
}

// Each failure says why, both savers alike: at RK_MIN_MESSAGE_CAPACITY the
// savers' own reasons whole and libpng's (an image without rows or columns)
// begun, never past the buffer. What was there stays, and no temporary is left.
TEST(PngSaver, FailuresSayWhyAndLeaveEverythingAsItWas) {
    TempDir dir;
    const std::string keep = dir.write("keep.png", "old").string(), d = dir.str();
    dir.write("plain_file");
    fs::create_directory(dir / "subdir");
    const Img img = filled(2, 2, {0, 0, 0, 1});
    const Img no_rows = make_img(3, 0), no_columns = make_img(0, 3);
    const std::u16string cannot_open = u"Could not open output file", libpng = u"pnglib error: ";
    const std::u16string not_regular = cannot_open + u": not a regular file";
    const std::tuple<std::optional<std::string>, const imgbuf*, std::u16string> cases[] = {
        {std::nullopt, img.get(), cannot_open + u"."},
        {"", img.get(), cannot_open + u"."},
        {d + "/missing_dir/out.png", img.get(), cannot_open + u": No such file or directory"},
        {d + "/plain_file/out.png", img.get(), cannot_open + u": Not a directory"},
        {d + "/subdir", img.get(), not_regular},
        {d + "/", img.get(), not_regular},
        {keep, nullptr, u"No image to save."},
        {keep, no_rows.get(), libpng},
        {keep, no_columns.get(), libpng},
    };
    for (const auto& [target, image, reason] : cases) {
        SCOPED_TRACE(target.value_or("no path"));
        const std::u16string path = widen(target.value_or(""));
        SinkRecorder diag;
        std::u16string whole(128, u'#'), least(RK_MIN_MESSAGE_CAPACITY + 1, u'#');
        core_saveimage_png(whole.data(), 128, target ? path.c_str() : nullptr, image);
        core_saveimage_nmap_png(least.data(), RK_MIN_MESSAGE_CAPACITY,
                                target ? path.c_str() : nullptr, image, 2, 1, 0);
        whole = whole.c_str();
        EXPECT_EQ(least.back(), u'#');
        EXPECT_EQ(std::u16string(least.c_str()), whole.substr(0, RK_MIN_MESSAGE_CAPACITY - 1));
        if (reason != libpng) {
            EXPECT_EQ(whole, reason);
            continue;
        }
        // libpng warns with the detail, then fails with its own summary, which ends the message.
        const auto& t = diag.texts();
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t[t.size() - 2], "pnglib error: ");
        EXPECT_FALSE(t.back().empty());
        EXPECT_EQ(whole, libpng + widen(t.back()));
    }
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"keep.png", "plain_file", "subdir"}));
    EXPECT_TRUE(entries(dir / "subdir").empty());
    EXPECT_EQ(read_bytes(keep), (Bytes{'o', 'l', 'd'}));
}

// A symbolic link at the target is replaced by the new file and what it names
// (another user's file, /dev/null) is never written; a replaced file keeps its
// permissions. (FIFOs, devices, sockets and folders there are refused as the
// readers refuse them: tests/common/regular_file_test.cpp.)
TEST(PngSaver, LinksAreReplacedAndTheirTargetsLeftAlone) {
    TempDir dir;
    fs::create_directory(dir / "out");
    const std::string decoy = dir.write("decoy", std::string(5000, 'o')).string();
    const fs::path mine = dir.write("out/mine.png", "old");
    ASSERT_EQ(chmod(mine.c_str(), 0604), 0);
    fs::create_symlink(decoy, dir / "out/link.png");
    fs::create_symlink("/dev/null", dir / "out/null.png");
    const Img img = filled(2, 1, {0, 0.5f, 1, 1});
    for (const char* name : {"link.png", "null.png", "mine.png"}) {
        EXPECT_EQ(save(dir / "out" / name, img.get()), u"") << name;
        EXPECT_FALSE(fs::is_symlink(dir / "out" / name)) << name;
        EXPECT_EQ(decoded_pixels(read_bytes(dir / "out" / name)),
                  (Bytes{0, 128, 255, 0, 128, 255}));
    }
    EXPECT_EQ(read_bytes(decoy), Bytes(5000, 'o'));
    struct stat st {};
    ASSERT_EQ(stat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(entries(dir / "out"), (std::vector<std::string>{"link.png", "mine.png", "null.png"}));
}

// Runs in a child process: a file size limit makes the file system refuse the
// data part way, as a full disk would, whoever runs the test.
[[noreturn]] void save_beyond_size_limit(const fs::path& dir, const imgbuf* img) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool reported =
        save(dir / "keep.png", img) == u"Could not write output file: File too large";
    const bool kept = read_bytes(dir / "keep.png") == Bytes{'o', 'l', 'd'};
    const bool clean = entries(dir) == std::vector<std::string>{"keep.png"};
    std::fprintf(stderr, "kept %d clean %d reported %d", kept, clean, reported);
    std::_Exit(kept && clean && reported ? 0 : 1);
}

TEST(PngSaverDeathTest, WriteFailureIsReportedAndKeepsTheOldFile) {
    TempDir dir;
    dir.write("keep.png", "old");
    const Img img = noise(128, 128, 1);
    EXPECT_EXIT(save_beyond_size_limit(dir.path(), img.get()), ::testing::ExitedWithCode(0),
                "kept 1 clean 1 reported 1");
    EXPECT_EQ(save(dir / "keep.png", img.get()), u"");  // without the limit the same image saves
}

// Concurrent saves to one target never mix: the file is always one whole image.
TEST(PngSaver, ConcurrentSavesToOneTargetLeaveAWholeFile) {
    TempDir dir;
    const fs::path target = dir / "shared.png";
    const Img red = filled(64, 64, {1, 0, 0, 1}), blue = filled(64, 64, {0, 0, 1, 1});
    std::u16string msgs[2];
    auto run = [&](const imgbuf* img, std::u16string* out) {
        for (int i = 0; i < 10; ++i) *out += save(target, img);
    };
    std::thread a(run, red.get(), &msgs[0]), b(run, blue.get(), &msgs[1]);
    a.join();
    b.join();
    EXPECT_EQ(msgs[0] + msgs[1], u"");
    const Bytes pixels = decoded_pixels(read_bytes(target));
    ASSERT_EQ(pixels.size(), 64u * 64 * 3);
    const Bytes first(pixels.begin(), pixels.begin() + 3);
    EXPECT_TRUE(first == (Bytes{255, 0, 0}) || first == (Bytes{0, 0, 255}));
    for (size_t i = 0; i < pixels.size(); i += 3)
        ASSERT_TRUE(std::equal(first.begin(), first.end(), pixels.begin() + i));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"shared.png"});
}

}  // namespace
