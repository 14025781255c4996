// --depth, --seamless, --make-tileable and --preview-tiles: parsed, and run on
// real files.
#include <gtest/gtest.h>

#include <cmath>

#include "image_helpers.h"
#include "options.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kSample = RK_SAMPLES "/bricks.png";

Img load(const fs::path& path) {
    const std::string s = path.string();
    return Img(load_image(std::u16string(s.begin(), s.end()).c_str()));
}

// Bit depth and colour type from a PNG's IHDR.
std::pair<int, int> depth_and_colour(const fs::path& png) {
    const std::string bytes = file_bytes(png);
    if (bytes.size() < 26) return {0, 0};
    return {static_cast<uint8_t>(bytes[24]), static_cast<uint8_t>(bytes[25])};
}

}  // namespace

TEST(TilingDepthOptions, ParseAndRefuse) {
    struct Case {
        std::vector<std::string_view> args;
        bool ok;
        uint32_t depth = 8;
        float tileable = 0;  // 0: off
        bool seamless = false;
        uint32_t tiles = 1;
    } cases[] = {
        {{"a", "--depth", "16"}, true, 16, 0, false, 1},
        {{"--make-tileable", "a"}, true, 8, 0.1f, true, 1},
        {{"--make-tileable=0.25", "--preview-tiles", "2", "a"}, true, 8, 0.25f, true, 2},
        {{"--seamless", "a"}, true, 8, 0, true, 1},
        {{"--depth", "12", "a"}, false},
        {{"--make-tileable=0.6", "a"}, false},
        {{"--preview-tiles", "5", "a"}, false},
    };
    for (const Case& c : cases) {
        const auto r = rkcli::parse_command_line(c.args);
        ASSERT_EQ(r.action == rkcli::Action::run, c.ok) << c.args[0] << r.error;
        if (!c.ok) continue;
        const rkcli::Options& o = r.options;
        EXPECT_EQ(o.inputs, std::vector<std::string>{"a"});
        EXPECT_EQ(o.depth, c.depth);
        EXPECT_EQ(o.make_tileable.value_or(0), c.tileable);
        EXPECT_EQ(o.seamless, c.seamless);
        EXPECT_EQ(o.preview_tiles, c.tiles);
    }
}

// 16-bit grey height and RGB normal; the height read back through --from-height
// gives the normal map within what half a 16-bit height step can change it
// (strength 2, centre weight 2: 6 steps, and a quarter more), plus one step of
// writing both normal maps at 16 bits.
TEST(TilingDepthProgram, SixteenBitMapsRoundTripThroughFromHeight) {
    TempDir dir;
    ASSERT_EQ(run_reliefkit(dir.path(), {"--depth", "16", "--seamless", kSample}).status, 0);
    EXPECT_EQ(depth_and_colour(dir / "bricks_height.png"), std::pair(16, 0));
    EXPECT_EQ(depth_and_colour(dir / "bricks_normal.png"), std::pair(16, 2));
    ASSERT_EQ(run_reliefkit(dir.path(), {"--depth", "16", "--seamless", "--from-height", "-o",
                                         "back", "bricks_height.png"})
                  .status,
              0);
    Img want = load(dir / "bricks_normal.png"), got = load(dir / "back/bricks_normal.png");
    ASSERT_TRUE(want && got);
    const float* a = imgbuf_buf(want.get());
    const float* b = imgbuf_buf(got.get());
    float worst = 0;
    for (size_t i = 0; i < size_t{imgbuf_w(want.get())} * imgbuf_h(want.get()) * 4; ++i)
        worst = std::max(worst, std::fabs(a[i] - b[i]));
    EXPECT_LE(worst, 8.5f / 65535.0f);
}

TEST(TilingDepthProgram, TileablePreviewIsTiledAndGrey8ByDefault) {
    TempDir dir;
    ASSERT_EQ(run_reliefkit(dir.path(), {"--make-tileable", "--preview", "p.png", "--preview-tiles",
                                         "2", kSample})
                  .status,
              0);
    EXPECT_EQ(depth_and_colour(dir / "bricks_height.png"), std::pair(8, 0));
    Img preview = load(dir / "p.png"), normal = load(dir / "bricks_normal.png");
    ASSERT_TRUE(preview && normal);
    EXPECT_EQ(imgbuf_w(preview.get()), 2 * imgbuf_w(normal.get()));
    EXPECT_EQ(imgbuf_h(preview.get()), 2 * imgbuf_h(normal.get()));
}
