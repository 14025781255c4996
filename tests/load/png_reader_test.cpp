#include <gtest/gtest.h>

#include <algorithm>

#include "load/readers.h"
#include "load_test_support.h"
#include "png_test_io.h"
#include "reliefkit_rk.h"

using namespace png_test;

namespace {

// The image and the not-my-format verdict.
auto load(const Bytes& file) {
    return load_with<bool>(rk::load_png, file);
}

float n8(uint32_t s) { return static_cast<float>(s) / 255.0f; }
float n16(uint32_t s) { return static_cast<float>(s) / 65535.0f; }
Px grey(float g, float a = 1.0f) { return {g, g, g, a}; }
// Palette entry i of the test palette, which libpng expands to these samples.
Px pal(int i, float a = 1.0f) { return {n8(i * 16), n8(255 - i * 16), n8(i * 3), a}; }

struct LayoutCase {
    const char* name;
    int color_type, depth;
    std::vector<std::vector<uint32_t>> pixels;  // samples per pixel; an index for palettes
    std::vector<Px> expected;
    Bytes palette_alpha = {};
    std::optional<png_color_16> key = {};  // {index, red, green, blue, grey}
};

// Sub-byte grey is widened by libpng to the full 8-bit range (x 255, x 85, x 17).
// Entries past the end of tRNS are opaque; a grey or RGB tRNS names the one
// colour that is transparent.
// clang-format off
const LayoutCase kLayouts[] = {
    {"grey2", 0, 2, {{0}, {1}, {2}, {3}, {3}}, {grey(0), grey(n8(85)), grey(n8(170)), grey(1), grey(1)}},
    {"grey16", 0, 16, {{0}, {1}, {256}, {32768}, {65534}, {65535}}, {grey(0), grey(n16(1)), grey(n16(256)), grey(n16(32768)), grey(n16(65534)), grey(1)}},
    {"grey_alpha8", 4, 8, {{0, 255}, {128, 0}, {255, 1}}, {grey(0, 1), grey(n8(128), 0), grey(1, n8(1))}},
    {"grey_alpha16", 4, 16, {{65535, 0}, {1, 65535}, {32768, 32767}}, {grey(1, 0), grey(n16(1), 1), grey(n16(32768), n16(32767))}},
    {"rgb8", 2, 8, {{255, 128, 0}, {1, 2, 3}, {254, 253, 252}}, {{1, n8(128), 0, 1}, {n8(1), n8(2), n8(3), 1}, {n8(254), n8(253), n8(252), 1}}},
    {"rgb16", 2, 16, {{65535, 0, 32768}, {1, 256, 65534}}, {{1, 0, n16(32768), 1}, {n16(1), n16(256), n16(65534), 1}}},
    {"rgba8", 6, 8, {{255, 128, 0, 64}, {0, 0, 0, 0}}, {{1, n8(128), 0, n8(64)}, {0, 0, 0, 0}}},
    {"rgba16", 6, 16, {{65535, 0, 32768, 65535}, {1, 2, 3, 4}}, {{1, 0, n16(32768), 1}, {n16(1), n16(2), n16(3), n16(4)}}},
    {"palette4_trns", 3, 4, {{1}, {5}, {6}, {15}}, {pal(1, n8(128)), pal(5, 0), pal(6), pal(15)}, {255, 128, 255, 255, 255, 0}},
    {"grey8_trns", 0, 8, {{0}, {128}, {255}}, {grey(0), grey(n8(128), 0), grey(1)}, {}, png_color_16{0, 128, 0, 0, 128}},
    {"rgb16_trns", 2, 16, {{1, 2, 3}, {1, 2, 65535}}, {{n16(1), n16(2), n16(3), 0}, {n16(1), n16(2), 1, 1}}, {}, png_color_16{0, 1, 2, 3, 1}},
};
// clang-format on

// Two rows: the pixels, then the same pixels in reverse, so that row order and
// the start of every row are checked too.
Fixture fixture_of(const LayoutCase& c) {
    Fixture f;
    f.width = static_cast<uint32_t>(c.pixels.size());
    f.height = 2;
    f.bit_depth = c.depth;
    f.color_type = c.color_type;
    f.palette_alpha = c.palette_alpha;
    f.trns_key = c.key;
    for (int i = 0; c.color_type == PNG_COLOR_TYPE_PALETTE && i < 16; ++i)
        f.palette.push_back({png_byte(i * 16), png_byte(255 - i * 16), png_byte(i * 3)});
    for (int row = 0; row < 2; ++row) {
        std::vector<uint32_t> samples;
        for (size_t i = 0; i < c.pixels.size(); ++i) {
            const auto& px = c.pixels[row == 0 ? i : c.pixels.size() - 1 - i];
            samples.insert(samples.end(), px.begin(), px.end());
        }
        append(f.rows, pack_row(samples, c.depth));
    }
    return f;
}

class PngLayouts : public ::testing::TestWithParam<LayoutCase> {};

// A gAMA chunk changes nothing: samples are taken as stored.
TEST_P(PngLayouts, DecodeToExactFloatsWithOrWithoutGamma) {
    const LayoutCase& c = GetParam();
    Fixture f = fixture_of(c);
    for (double gamma : {0.0, 0.45455, 2.2}) {
        if (gamma) f.gamma = gamma;
        SinkRecorder diag;
        auto [img, not_mine] = load(encode(f));
        ASSERT_TRUE(img) << "gamma " << gamma;
        EXPECT_FALSE(not_mine);
        EXPECT_TRUE(diag.texts().empty());
        ASSERT_EQ(imgbuf_w(img.get()), c.expected.size());
        ASSERT_EQ(imgbuf_h(img.get()), 2u);
        for (uint32_t y = 0; y < 2; ++y)
            for (uint32_t x = 0; x < c.expected.size(); ++x)
                expect_px(img.get(), x, y, c.expected[y == 0 ? x : c.expected.size() - 1 - x]);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryColourTypeAndDepth, PngLayouts, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

Bytes small_rgb_file(bool interlaced = false, bool gamma = false) {
    Fixture f;
    f.width = 4;
    f.height = 3;
    f.interlaced = interlaced;
    if (gamma) f.gamma = 0.45455;
    for (int i = 0; i < 36; ++i) f.rows.push_back(static_cast<uint8_t>(i * 7));
    return encode(f);
}

// The first CRC byte of a chunk flipped.
Bytes bad_crc(Bytes file, const char* type) {
    const auto chunk = find_chunk(file, type);
    file.at(chunk.value().offset + 8 + chunk->length) ^= 0x01;
    return file;
}

// Files that are PNGs but fail (null, and the dispatch stops) and those that are
// no PNG at all; then the diagnostics, as libpng words them.
TEST(PngReader, FailuresAndTheirVerdicts) {
    const Bytes good = small_rgb_file();
    struct Case {
        const char* name;
        Bytes file;
        bool not_mine;
        Texts texts;
    };
    // clang-format off
    const Case cases[] = {
        {"interlaced", small_rgb_file(true), false, {"create_prepare_png(): PNG is interlaced, which is not supported by this program currently"}},
        {"idat_crc", bad_crc(good, "IDAT"), false, {"pnglib error: ", "IDAT: CRC error"}},
        {"iend_crc", bad_crc(good, "IEND"), false, {"pnglib error: ", "IEND: CRC error"}},
        {"signature_off_by_one_bit", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, 0x0B, 0, 0}, true, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SinkRecorder diag;
        auto [img, not_mine] = load(c.file);
        EXPECT_FALSE(img) << c.name;
        EXPECT_EQ(not_mine, c.not_mine) << c.name;
        EXPECT_EQ(diag.texts(), c.texts) << c.name;
    }
    // An unopenable path is no verdict either way.
    for (const std::string& path : {temp_path("missing.png"), process_temp_dir().str(), std::string()}) {
        bool not_mine = true;
        EXPECT_FALSE(rk::load_png(widen(path), not_mine));
        EXPECT_FALSE(not_mine) << path;
    }
}

// A cut PNG fails with libpng's read error last; one cut inside the signature
// is no PNG, and no word is said about it.
TEST(PngReader, EveryTruncationFailsAsAPng) {
    const Bytes whole = small_rgb_file();
    ASSERT_TRUE(load(whole).first);
    const Texts read_error = {"pnglib error: ", "Read Error"};
    for (size_t len = 0; len < whole.size(); ++len) {
        SinkRecorder diag;
        auto [img, not_mine] = load(Bytes(whole.begin(), whole.begin() + len));
        EXPECT_FALSE(img) << len;
        EXPECT_EQ(not_mine, len < 8) << len;
        const Texts& t = diag.texts();
        const Texts last_two(t.end() - std::min<size_t>(t.size(), 2), t.end());
        EXPECT_EQ(last_two, len < 8 ? Texts{} : read_error) << len;
    }
}

// A side of more than a million pixels is within RK_MAX_IMAGE_PIXELS: such a
// PNG loads, although libpng by itself calls its header invalid, and what
// loads saves again.
TEST(PngReader, SidesPastAMillionPixelsLoadAndSave) {
    for (auto [w, h] : {std::pair{1000001u, 1u}, std::pair{1u, 1000001u}}) {
        Fixture f;
        f.width = w;
        f.height = h;
        f.color_type = PNG_COLOR_TYPE_GRAY;
        f.rows.assign(size_t{w} * h, 255);
        auto [img, not_mine] = load(encode(f));
        ASSERT_TRUE(img) << w << " x " << h;
        EXPECT_EQ(imgbuf_w(img.get()), w);
        EXPECT_EQ(imgbuf_h(img.get()), h);
        expect_px(img.get(), w - 1, h - 1, grey(1));
        Bytes saved;
        const auto append = [](void* user, const void* data, size_t size) {
            auto* bytes = static_cast<Bytes*>(user);
            bytes->insert(bytes->end(), static_cast<const uint8_t*>(data),
                          static_cast<const uint8_t*>(data) + size);
            return 0;
        };
        ASSERT_EQ(rk_save_png_write(img.get(), nullptr, append, &saved), RK_OK) << w;
        auto [again, not_png] = load(saved);
        ASSERT_TRUE(again) << w << " x " << h;
        EXPECT_EQ(imgbuf_w(again.get()), w);
        expect_px(again.get(), w - 1, h - 1, grey(1));
    }
}

// An ancillary chunk is optional: libpng drops a damaged one with a warning.
TEST(PngReader, BrokenAncillaryChunkIsOnlyAWarning) {
    SinkRecorder diag;
    auto [img, not_mine] = load(bad_crc(small_rgb_file(false, true), "gAMA"));
    ASSERT_TRUE(img);
    EXPECT_EQ(fingerprint(img.get()), fingerprint(load(small_rgb_file()).first.get()));
    EXPECT_EQ(diag.texts(), (Texts{"pnglib warning: ", "gAMA: CRC error"}));
}

}  // namespace
