#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image_helpers.h"
#include "imgbuf/imgbuf.h"
#include "load/readers.h"
#include "common/utf16.h"
#include "png_test_io.h"
#include "temp_dir.h"

using namespace png_test;

namespace {

const std::string temp_dir() {
    return process_temp_dir().str();
}

struct Loaded {
    rk::ImgbufPtr image;
    bool not_my_format;
};

Loaded load_bytes(const Bytes& file, const std::string& name) {
    const std::string path = temp_dir() + "/" + name;
    write_file(path, file);
    Loaded out{nullptr, false};
    out.image = rk::load_png(rk::utf8_to_utf16(path), out.not_my_format);
    return out;
}

float n8(uint32_t s) {
    return static_cast<float>(s) / 255.0f;
}
float n16(uint32_t s) {
    return static_cast<float>(s) / 65535.0f;
}
Px grey(float g, float a = 1.0f) {
    return {g, g, g, a};
}

using Samples = std::vector<std::vector<uint32_t>>;

struct LayoutCase {
    const char* name;
    int color_type;
    int depth;
    Samples pixels;  // file samples per pixel; a palette index for palette images
    std::vector<Px> expected;
    Bytes palette_alpha = {};
    std::optional<png_color_16> key = {};
};

std::vector<png_color> test_palette(int depth) {
    std::vector<png_color> p;
    for (int i = 0; i < std::min(16, 1 << depth); ++i) {
        p.push_back({static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 16),
                     static_cast<png_byte>(i * 3)});
    }
    return p;
}

Px palette_px(int i, float a = 1.0f) {
    return {n8(i * 16), n8(255 - i * 16), n8(i * 3), a};
}

png_color_16 grey_key(uint16_t g) {
    png_color_16 k{};
    k.gray = g;
    return k;
}

png_color_16 rgb_key(uint16_t r, uint16_t g, uint16_t b) {
    png_color_16 k{};
    k.red = r;
    k.green = g;
    k.blue = b;
    return k;
}

const Bytes kPaletteAlpha = {255, 128, 255, 255, 255, 0};  // index 5 transparent

// Sub-byte grey is widened by libpng to the full 8-bit range (x 255, x 85, x 17).
// clang-format off
const LayoutCase kLayouts[] = {
    {"grey2", 0, 2, {{0}, {1}, {2}, {3}, {3}},
     {grey(0), grey(n8(85)), grey(n8(170)), grey(1), grey(1)}},
    {"grey16", 0, 16, {{0}, {1}, {256}, {32768}, {65534}, {65535}},
     {grey(0), grey(n16(1)), grey(n16(256)), grey(n16(32768)), grey(n16(65534)), grey(1)}},
    {"grey_alpha8", 4, 8, {{0, 255}, {128, 0}, {255, 1}},
     {grey(0, 1), grey(n8(128), 0), grey(1, n8(1))}},
    {"grey_alpha16", 4, 16, {{65535, 0}, {1, 65535}, {32768, 32767}},
     {grey(1, 0), grey(n16(1), 1), grey(n16(32768), n16(32767))}},
    {"rgb8", 2, 8, {{255, 128, 0}, {1, 2, 3}, {254, 253, 252}},
     {{1, n8(128), 0, 1}, {n8(1), n8(2), n8(3), 1}, {n8(254), n8(253), n8(252), 1}}},
    {"rgb16", 2, 16, {{65535, 0, 32768}, {1, 256, 65534}},
     {{1, 0, n16(32768), 1}, {n16(1), n16(256), n16(65534), 1}}},
    {"rgba8", 6, 8, {{255, 128, 0, 64}, {0, 0, 0, 0}},
     {{1, n8(128), 0, n8(64)}, {0, 0, 0, 0}}},
    {"rgba16", 6, 16, {{65535, 0, 32768, 65535}, {1, 2, 3, 4}},
     {{1, 0, n16(32768), 1}, {n16(1), n16(2), n16(3), n16(4)}}},
    // Entries past the end of tRNS are opaque.
    {"palette4_trns", 3, 4, {{1}, {5}, {6}, {15}},
     {palette_px(1, n8(128)), palette_px(5, 0), palette_px(6), palette_px(15)}, kPaletteAlpha},
    // A grey or RGB tRNS names the one colour that is transparent.
    {"grey8_trns", 0, 8, {{0}, {128}, {255}},
     {grey(0), grey(n8(128), 0), grey(1)}, {}, grey_key(128)},
    {"rgb16_trns", 2, 16, {{1, 2, 3}, {1, 2, 65535}},
     {{n16(1), n16(2), n16(3), 0}, {n16(1), n16(2), 1, 1}}, {}, rgb_key(1, 2, 3)},
};
// clang-format on

const LayoutCase* layout(const std::string& name) {
    for (const LayoutCase& c : kLayouts)
        if (c.name == name) return &c;
    std::abort();
}

// Two rows: the pixels, then the same pixels in reverse, so that row order and
// the start of every row are checked too.
Fixture fixture_of(const LayoutCase& c) {
    Fixture f;
    f.width = static_cast<uint32_t>(c.pixels.size());
    f.height = 2;
    f.bit_depth = c.depth;
    f.color_type = c.color_type;
    if (c.color_type == PNG_COLOR_TYPE_PALETTE) f.palette = test_palette(c.depth);
    f.palette_alpha = c.palette_alpha;
    f.trns_key = c.key;
    for (int row = 0; row < 2; ++row) {
        std::vector<uint32_t> samples;
        for (size_t i = 0; i < c.pixels.size(); ++i) {
            const auto& px = c.pixels[row == 0 ? i : c.pixels.size() - 1 - i];
            samples.insert(samples.end(), px.begin(), px.end());
        }
        const Bytes packed = pack_row(samples, c.depth);
        f.rows.insert(f.rows.end(), packed.begin(), packed.end());
    }
    return f;
}

void expect_pixels(const imgbuf* img, const std::vector<Px>& expected) {
    ASSERT_EQ(imgbuf_w(img), expected.size());
    ASSERT_EQ(imgbuf_h(img), 2u);
    for (uint32_t y = 0; y < 2; ++y) {
        for (uint32_t x = 0; x < expected.size(); ++x) {
            const Px want = expected[y == 0 ? x : expected.size() - 1 - x];
            const Px got = get_px(img, x, y);
            for (int c = 0; c < 4; ++c) {
                EXPECT_TRUE(same_bits(got[c], want[c])) << "pixel " << x << "," << y << " channel "
                                                        << c << ": " << got[c] << " != " << want[c];
            }
        }
    }
}

class PngLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PngLayouts, DecodeToExactFloats) {
    const LayoutCase& c = GetParam();
    const Bytes file = encode(fixture_of(c));
    ASSERT_FALSE(file.empty());
    Diagnostics diag;
    Loaded got = load_bytes(file, std::string(c.name) + ".png");
    ASSERT_TRUE(got.image) << c.name;
    EXPECT_FALSE(got.not_my_format);
    expect_pixels(got.image.get(), c.expected);
    EXPECT_TRUE(diag.texts().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryColourTypeAndDepth, PngLayouts, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

// A gAMA chunk changes nothing: samples are taken as stored.
class PngGamma : public ::testing::TestWithParam<double> {};

TEST_P(PngGamma, ChunkLeavesValuesUntouched) {
    for (const char* name : {"grey16", "rgb8", "palette4_trns"}) {
        const LayoutCase* c = layout(name);
        Fixture f = fixture_of(*c);
        f.gamma = GetParam();
        const Bytes file = encode(f);
        ASSERT_TRUE(find_chunk(file, "gAMA"));
        Loaded got = load_bytes(file, std::string("gamma_") + name + ".png");
        ASSERT_TRUE(got.image) << name;
        expect_pixels(got.image.get(), c->expected);
    }
}

INSTANTIATE_TEST_SUITE_P(FileGammas, PngGamma, ::testing::Values(0.45455, 2.2));

Bytes small_rgb_file() {
    Fixture f;
    f.width = 4;
    f.height = 3;
    for (int i = 0; i < 36; ++i) f.rows.push_back(static_cast<uint8_t>(i * 7));
    return encode(f);
}

TEST(PngReader, InterlacedFileIsRefusedAsAPng) {
    Fixture f;
    f.width = 3;
    f.height = 3;
    f.color_type = PNG_COLOR_TYPE_GRAY;
    f.interlaced = true;
    f.rows.assign(9, 50);
    Diagnostics diag;
    Loaded got = load_bytes(encode(f), "interlaced.png");
    EXPECT_FALSE(got.image);
    EXPECT_FALSE(got.not_my_format);
    EXPECT_EQ(diag.texts(),
              std::vector<std::string>{"create_prepare_png(): PNG is interlaced, which is not "
                                       "supported by this program currently"});
}

TEST(PngReader, OtherFilesAreNotMine) {
    const Bytes sig = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const std::vector<std::pair<const char*, Bytes>> files = {
        {"empty", {}},
        {"seven_signature_bytes", Bytes(sig.begin(), sig.begin() + 7)},
        {"text", Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}},
        {"jpeg_start", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0}},
        {"signature_off_by_one_bit", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0B, 0, 0}},
    };
    Diagnostics diag;
    for (const auto& [name, bytes] : files) {
        Loaded got = load_bytes(bytes, name);
        EXPECT_FALSE(got.image) << name;
        EXPECT_TRUE(got.not_my_format) << name;
    }
    EXPECT_TRUE(diag.texts().empty());
}

TEST(PngReader, UnopenableFileIsNoVerdict) {
    for (const std::string& path : {temp_dir() + "/missing.png", temp_dir()}) {
        bool not_mine = true;
        EXPECT_FALSE(rk::load_png(rk::utf8_to_utf16(path), not_mine));
        EXPECT_FALSE(not_mine) << path;
    }
    bool not_mine = true;
    EXPECT_FALSE(rk::load_png(u"", not_mine));
    EXPECT_FALSE(not_mine);
}

TEST(PngReader, EveryTruncationFailsAsAPng) {
    const Bytes whole = small_rgb_file();
    ASSERT_TRUE(load_bytes(whole, "whole.png").image);
    for (size_t len = 0; len < whole.size(); ++len) {
        Diagnostics diag;
        Loaded got = load_bytes(Bytes(whole.begin(), whole.begin() + len), "cut.png");
        EXPECT_FALSE(got.image) << len;
        EXPECT_EQ(got.not_my_format, len < 8) << len;
        if (len >= 8) {
            ASSERT_GE(diag.texts().size(), 2u) << len;
            const auto& t = diag.texts();
            EXPECT_EQ(t[t.size() - 2], "pnglib error: ") << len;
            EXPECT_EQ(t.back(), "Read Error") << len;
        }
    }
}

// A damaged critical chunk is a PNG that fails: null, and the dispatch stops.
TEST(PngReader, BrokenCriticalChunksFailWithLibpngsText) {
    const Bytes whole = small_rgb_file();
    for (const char* type : {"IHDR", "IDAT", "IEND"}) {
        const auto chunk = find_chunk(whole, type);
        ASSERT_TRUE(chunk);
        Bytes broken = whole;
        broken[chunk->offset + 8 + chunk->length] ^= 0x01;  // first CRC byte
        Diagnostics diag;
        Loaded got = load_bytes(broken, "crc.png");
        EXPECT_FALSE(got.image) << type;
        EXPECT_FALSE(got.not_my_format) << type;
        ASSERT_EQ(diag.texts().size(), 2u) << type;
        EXPECT_EQ(diag.texts()[0], "pnglib error: ");
        EXPECT_NE(diag.texts()[1].find("CRC error"), std::string::npos) << diag.texts()[1];
    }
}

// An ancillary chunk is optional: libpng drops a damaged one with a warning.
TEST(PngReader, BrokenAncillaryChunkIsOnlyAWarning) {
    const LayoutCase* rgb8 = layout("rgb8");
    Fixture f = fixture_of(*rgb8);
    f.gamma = 0.45455;
    Bytes file = encode(f);
    const auto gama = find_chunk(file, "gAMA");
    ASSERT_TRUE(gama);
    file[gama->offset + 8 + gama->length] ^= 0x01;
    Diagnostics diag;
    Loaded got = load_bytes(file, "gama_crc.png");
    ASSERT_TRUE(got.image);
    expect_pixels(got.image.get(), rgb8->expected);
    EXPECT_EQ(diag.texts(), (std::vector<std::string>{"pnglib warning: ", "gAMA: CRC error"}));
}

TEST(PngReader, UndecodableImageDataFails) {
    const Bytes whole = small_rgb_file();
    const auto idat = find_chunk(whole, "IDAT");
    ASSERT_TRUE(idat);
    Bytes junk(idat->length, 0xA5);
    Bytes broken(whole.begin(), whole.begin() + idat->offset);
    const Bytes chunk = make_chunk("IDAT", junk);
    broken.insert(broken.end(), chunk.begin(), chunk.end());
    broken.insert(broken.end(), whole.begin() + idat->offset + 12 + idat->length, whole.end());
    Diagnostics diag;
    Loaded got = load_bytes(broken, "junk_idat.png");
    EXPECT_FALSE(got.image);
    EXPECT_FALSE(got.not_my_format);
    ASSERT_GE(diag.texts().size(), 2u);
    EXPECT_EQ(diag.texts()[diag.texts().size() - 2], "pnglib error: ");
}

}  // namespace

namespace {

// Through load_image: a PNG that fails ends the dispatch (no JPEG diagnostic
// follows), while a file that only starts like one is passed on.
TEST(PngDispatch, FailingPngStopsAndForeignFilePassesOn) {
    const Bytes good = small_rgb_file();
    Bytes broken_crc = good;
    const auto idat = find_chunk(good, "IDAT");
    ASSERT_TRUE(idat);
    broken_crc[idat->offset + 8 + idat->length] ^= 0x01;

    struct Case {
        const char* name;
        Bytes file;
        bool loads;
        const char* first_text;  // null: no diagnostics at all
    };
    const Case cases[] = {
        {"good.png", good, true, nullptr},
        {"crc.png", broken_crc, false, "pnglib error: "},
        {"seven.bin", Bytes(good.begin(), good.begin() + 7), false, "jpeglib error:\n"},
    };
    for (const Case& c : cases) {
        const std::string path = temp_dir() + "/" + c.name;
        write_file(path, c.file);
        Diagnostics diag;
        Img image(load_image(rk::utf8_to_utf16(path).c_str()));
        EXPECT_EQ(static_cast<bool>(image), c.loads) << c.name;
        const auto& t = diag.texts();
        if (!c.first_text) {
            EXPECT_TRUE(t.empty()) << c.name;
            continue;
        }
        ASSERT_FALSE(t.empty()) << c.name;
        EXPECT_EQ(t[0], c.first_text) << c.name;
        const bool png_failure = c.first_text[0] != 'j';
        EXPECT_EQ(std::count(t.begin(), t.end(), "jpeglib error:\n"), png_failure ? 0 : 1)
            << c.name;
    }
}

}  // namespace
