#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <limits>
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

// A new empty directory per test, so that leftovers can be counted.
std::string fresh_dir() {
    static int serial = 0;
    const std::string dir = process_temp_dir().str() + "/" + std::to_string(serial++);
    fs::create_directory(dir);
    return dir;
}

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The plain saver, or the normal-map one when selectors are given.
std::u16string save(const std::string& path, const imgbuf* img, std::optional<Selectors> s = {}) {
    char16_t msg[128];
    if (s) core_saveimage_nmap_png(msg, 128, u16(path).c_str(), img, s->r, s->g, s->b);
    else core_saveimage_png(msg, 128, u16(path).c_str(), img);
    return msg;
}

// k / 255 is written as the byte k whatever the rounding of the division.
float v8(int k) {
    return static_cast<float>(k) / 255.0f;
}

// Pixel (x, y) holds channel c = k / 255 with k unique per pixel and channel.
int code(uint32_t x, uint32_t y, int c) {
    return static_cast<int>((y * 5 + x) * 4 + c) * 3 + 7;
}

Img coded_image(uint32_t w, uint32_t h) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            set_px(img.get(), x, y,
                   {v8(code(x, y, 0)), v8(code(x, y, 1)), v8(code(x, y, 2)), v8(code(x, y, 3))});
    return img;
}

Decoded decoded_file(const std::string& path) {
    auto d = decode(read_file(path));
    EXPECT_TRUE(d) << path;
    return d ? *d : Decoded{};
}

TEST(PngSaver, WritesPlainRgb8WithTheExactBytes) {
    const std::string dir = fresh_dir();
    const Img img = coded_image(5, 2);  // rows of 15 bytes, not a multiple of 4
    EXPECT_EQ(save(dir + "/out.png", img.get()), u"");
    const Bytes file = read_file(dir + "/out.png");
    const auto d = decode(file);
    ASSERT_TRUE(d);
    Bytes want;
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 5; ++x)
            for (int c = 0; c < 3; ++c) want.push_back(static_cast<uint8_t>(code(x, y, c)));
    EXPECT_EQ(d->pixels, want);
    // 5 x 2, 8-bit RGB, compression 0, filter 0, not interlaced; and nothing beyond
    // the image: no gamma, text or time chunk.
    const auto ihdr = find_chunk(file, "IHDR");
    ASSERT_TRUE(ihdr);
    EXPECT_EQ(Bytes(file.begin() + ihdr->offset + 8, file.begin() + ihdr->offset + 21),
              (Bytes{0, 0, 0, 5, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
    std::vector<std::string> types;
    for (const Chunk& c : chunks(file))
        if (types.empty() || types.back() != c.type) types.push_back(c.type);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(entries(dir), std::vector<std::string>{"out.png"});
}

class NmapSelectors : public ::testing::TestWithParam<Selectors> {};

TEST_P(NmapSelectors, PickChannelsAndNeverAlpha) {
    const Selectors s = GetParam();
    const Img img = coded_image(3, 2);
    const uint64_t before = fingerprint(img.get());
    const std::string dir = fresh_dir();
    ASSERT_EQ(save(dir + "/n.png", img.get(), s), u"");
    EXPECT_EQ(fingerprint(img.get()), before);
    const Decoded d = decoded_file(dir + "/n.png");
    Bytes want;
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            for (int c : s.from) want.push_back(static_cast<uint8_t>(code(x, y, c)));
    EXPECT_EQ(d.pixels, want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NmapSelectors,
    ::testing::Values(Selectors{0, 1, 2, {0, 1, 2}}, Selectors{1, 0, 2, {1, 0, 2}}, Selectors{2, 1, 0, {2, 1, 0}},
                      Selectors{3, -1, 0, {2, 2, 0}}, Selectors{INT32_MIN, 1, INT32_MAX, {2, 1, 2}}));

// The message goes into the host's buffer cut short to fit, always terminated,
// and never outside it; without a buffer nothing is written.
TEST(PngSaver, MessageBufferIsRespected) {
    const Img img = filled(2, 2, {0.1f, 0.2f, 0.3f, 1.0f});
    const std::string dir = fresh_dir();
    struct Case {
        int32_t capacity;
        const char16_t* path;
        std::u16string expected;  // '#' marks untouched characters
    };
    const char16_t* bad = u"";
    const std::u16string good = u16(dir + "/ok.png");
    const Case cases[] = {
        {-7, bad, u"########"},
        {5, bad, std::u16string(u"Coul") + u'\0' + u"###"},
        {1, good.c_str(), std::u16string(1, u'\0') + u"#######"},
    };
    for (const Case& c : cases) {
        std::u16string buf(8, u'#');
        core_saveimage_png(buf.data(), c.capacity, c.path, img.get());
        EXPECT_EQ(buf, c.expected) << c.capacity;
        buf.assign(8, u'#');
        core_saveimage_nmap_png(buf.data(), c.capacity, c.path, img.get(), 0, 1, 2);
        EXPECT_EQ(buf, c.expected) << c.capacity;
    }
    core_saveimage_png(nullptr, 100, u16(dir + "/null_msg.png").c_str(), img.get());
    core_saveimage_nmap_png(nullptr, 100, u16(dir + "/null_msg2.png").c_str(), img.get(), 1, 1, 1);
    EXPECT_TRUE(decode(read_file(dir + "/null_msg.png")));
    EXPECT_TRUE(decode(read_file(dir + "/null_msg2.png")));
}

// At RK_MIN_MESSAGE_CAPACITY every kind of failure leaves a non-empty message:
// the savers' own reasons whole, libpng's (a zero-height image) at least begun.
TEST(PngSaver, MinimumCapacityNeverReadsAsSuccess) {
    const Img img = filled(2, 2, {0, 0, 0, 1}), no_rows = make_img(2, 0);
    const std::string dir = fresh_dir();
    const std::u16string path = u16(dir + "/x.png");
    const std::tuple<const char16_t*, const imgbuf*, std::u16string> cases[] = {
        {nullptr, img.get(), u"Could not open output file."},
        {path.c_str(), nullptr, u"No image to save."},
        {path.c_str(), no_rows.get(), u"pnglib error: "}};
    for (const auto& [target, image, start] : cases) {
        std::u16string a(RK_MIN_MESSAGE_CAPACITY + 1, u'#'), b = a;
        core_saveimage_png(a.data(), RK_MIN_MESSAGE_CAPACITY, target, image);
        core_saveimage_nmap_png(b.data(), RK_MIN_MESSAGE_CAPACITY, target, image, 2, 1, 0);
        for (const std::u16string& msg : {a, b}) {
            EXPECT_EQ(msg.back(), u'#');
            EXPECT_EQ(std::u16string(msg.c_str()).substr(0, start.size()), start);
        }
    }
    EXPECT_TRUE(entries(dir).empty());
}

// Targets that cannot be opened are reported, and nothing is created.
TEST(PngSaver, UnopenableTargets) {
    const std::string dir = fresh_dir();
    write_file(dir + "/plain_file", Bytes{'x'});
    fs::create_directory(dir + "/subdir");
    const Img img = filled(2, 2, {1, 1, 1, 1});
    for (const std::string& target :
         {dir + "/missing_dir/out.png", dir + "/plain_file/out.png", dir + "/subdir", dir + "/"}) {
        EXPECT_EQ(save(target, img.get()), u"Could not open output file.") << target;
    }
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"plain_file", "subdir"}));
    EXPECT_TRUE(entries(dir + "/subdir").empty());
    EXPECT_EQ(read_file(dir + "/plain_file"), Bytes{'x'});
}

TEST(PngSaver, ReplacesAnExistingFileKeepingItsPermissions) {
    const std::string dir = fresh_dir();
    const std::string target = dir + "/old.png";
    write_file(target, Bytes(5000, 'o'));
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(save(target, filled(2, 1, {0, 0.5f, 1, 1}).get()), u"");
    EXPECT_EQ(decoded_file(target).pixels, (Bytes{0, 128, 255, 0, 128, 255}));
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(dir), std::vector<std::string>{"old.png"});
}

TEST(PngSaver, SymbolicLinkStaysALink) {
    const std::string dir = fresh_dir();
    fs::create_directory(dir + "/real");
    fs::create_directory(dir + "/links");
    write_file(dir + "/real/target.png", Bytes{'x'});
    fs::create_symlink("../real/target.png", dir + "/links/link.png");
    ASSERT_EQ(save(dir + "/links/link.png", filled(1, 1, {1, 0, 0, 1}).get()), u"");
    EXPECT_TRUE(fs::is_symlink(dir + "/links/link.png"));
    EXPECT_EQ(decoded_file(dir + "/real/target.png").pixels, (Bytes{255, 0, 0}));
    EXPECT_EQ(entries(dir + "/links"), std::vector<std::string>{"link.png"});
    EXPECT_EQ(entries(dir + "/real"), std::vector<std::string>{"target.png"});
}

// A pipe or device is written in place: renaming over it would replace the node.
TEST(PngSaver, FifoIsWrittenInPlace) {
    const std::string dir = fresh_dir();
    const std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        uint8_t buf[4096];
        for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
            received.insert(received.end(), buf, buf + n);
        if (fd >= 0) close(fd);
    });
    const std::u16string msg = save(fifo, filled(2, 2, {0, 1, 0, 1}).get());
    // Frees the reader should the save never have opened the pipe.
    const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
    reader.join();
    EXPECT_EQ(msg, u"");
    const auto d = decode(received);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->pixels, (Bytes{0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0}));
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(entries(dir), std::vector<std::string>{"pipe"});
}

// libpng refuses a zero width; the save fails with libpng's reason and the old
// file stays.
TEST(PngSaver, LibpngErrorIsReportedAndKeepsTheOldFile) {
    const std::string dir = fresh_dir();
    const std::string target = dir + "/keep.png";
    write_file(target, Bytes{'o', 'l', 'd'});
    for (auto [w, h] : {std::pair{0u, 3u}, std::pair{3u, 0u}}) {
        Img img = make_img(w, h);
        ASSERT_TRUE(img);
        Diagnostics diag;
        const std::u16string msg = save(target, img.get());
        EXPECT_EQ(msg.rfind(u"pnglib error: ", 0), 0u);
        EXPECT_GT(msg.size(), std::u16string(u"pnglib error: ").size());
        // libpng warns with the detail, then fails with its own summary.
        const auto& t = diag.texts();
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t[t.size() - 2], "pnglib error: ");
        EXPECT_EQ(u16(t.back()), msg.substr(14));
    }
    EXPECT_EQ(read_file(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(entries(dir), std::vector<std::string>{"keep.png"});
}

Img noise_image(uint32_t w, uint32_t h) {
    Img img = make_img(w, h);
    uint32_t state = 12345;
    float* p = imgbuf_buf(img.get());
    for (uint32_t i = 0; i < w * h * 4; ++i) {
        state = state * 1664525u + 1013904223u;
        p[i] = static_cast<float>(state >> 8) / 16777216.0f;
    }
    return img;
}

// Runs in a child process: a file size limit makes the file system refuse the
// data part way, as a full disk would, whoever runs the test.
[[noreturn]] void save_beyond_size_limit(const std::string& dir, const std::string& target,
                                         const imgbuf* img) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::u16string msg = save(target, img);
    const bool kept = read_file(target) == Bytes{'o', 'l', 'd'};
    const bool clean = entries(dir) == std::vector<std::string>{"keep.png"};
    const bool reported = msg == u"Could not write output file.";
    std::fprintf(stderr, "kept %d clean %d reported %d", kept, clean, reported);
    std::_Exit(kept && clean && reported ? 0 : 1);
}

TEST(PngSaverDeathTest, WriteFailureIsReportedAndKeepsTheOldFile) {
    const std::string dir = fresh_dir();
    const std::string target = dir + "/keep.png";
    write_file(target, Bytes{'o', 'l', 'd'});
    const Img img = noise_image(128, 128);
    EXPECT_EXIT(save_beyond_size_limit(dir, target, img.get()), ::testing::ExitedWithCode(0),
                "kept 1 clean 1 reported 1");
    // Without the limit the same image saves.
    EXPECT_EQ(save(target, img.get()), u"");
}

// Concurrent saves to one target never mix: the file is always one whole image.
TEST(PngSaver, ConcurrentSavesToOneTargetLeaveAWholeFile) {
    const std::string dir = fresh_dir();
    const std::string target = dir + "/shared.png";
    const Img red = filled(64, 64, {1, 0, 0, 1});
    const Img blue = filled(64, 64, {0, 0, 1, 1});
    std::vector<std::u16string> msgs(2);
    auto run = [&](const imgbuf* img, std::u16string& out) {
        for (int i = 0; i < 10; ++i) out += save(target, img);
    };
    std::thread a(run, red.get(), std::ref(msgs[0]));
    std::thread b(run, blue.get(), std::ref(msgs[1]));
    a.join();
    b.join();
    EXPECT_EQ(msgs[0] + msgs[1], u"");
    const Decoded d = decoded_file(target);
    ASSERT_EQ(d.pixels.size(), 64u * 64 * 3);
    const Bytes first(d.pixels.begin(), d.pixels.begin() + 3);
    EXPECT_TRUE(first == (Bytes{255, 0, 0}) || first == (Bytes{0, 0, 255}));
    for (size_t i = 0; i < d.pixels.size(); i += 3)
        ASSERT_TRUE(std::equal(first.begin(), first.end(), d.pixels.begin() + i));
    EXPECT_EQ(entries(dir), std::vector<std::string>{"shared.png"});
}

}  // namespace
