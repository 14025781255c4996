#include <gtest/gtest.h>

#include <cmath>

#include "image_helpers.h"
#include "preview.h"

using rkcli::NormalEncoding;

namespace {

// Encodes a direction as the library stores normals before any blur.
Px encode(float x, float y, float z) {
    const float n = std::sqrt(x * x + y * y + z * z);
    return {0.5f + 0.5f * x / n, 0.5f + 0.5f * y / n, z / n, 1.0f};
}

float shade_of(Px pixel, NormalEncoding encoding = {}) {
    Img map = filled(3, 2, pixel);
    rkcli::Image preview = rkcli::render_preview(map.get(), encoding);
    EXPECT_TRUE(preview);
    if (!preview) return -1.0f;
    const Px p = get_px(preview.get(), 2, 1);
    EXPECT_EQ(p[0], p[1]);
    EXPECT_EQ(p[0], p[2]);
    EXPECT_EQ(p[3], 1.0f);
    return p[0];
}

constexpr float kFlatShade = 0.57735026f;  // cos of the angle between the light and straight up

}  // namespace

struct ShadeCase {
    const char* what;
    Px pixel;
    NormalEncoding encoding;
    float shade;
};

void PrintTo(const ShadeCase& c, std::ostream* os) {
    *os << c.what;
}

class PreviewShade : public ::testing::TestWithParam<ShadeCase> {};

TEST_P(PreviewShade, IsLambertOfTheDecodedNormal) {
    EXPECT_NEAR(shade_of(GetParam().pixel, GetParam().encoding), GetParam().shade, 2e-6f)
        << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PreviewShade,
    ::testing::Values(
        ShadeCase{"flat", {0.5f, 0.5f, 1.0f, 1.0f}, {}, kFlatShade},
        ShadeCase{
            "flat after blur", {0.5f, 0.5f, 0.8535534f, 1.0f}, {true, false, false}, kFlatShade},
        ShadeCase{"facing the light", encode(-1, -1, 1), {}, 1.0f},
        ShadeCase{"facing away", encode(1, 1, 0.2f), {}, 0.0f},
        ShadeCase{"facing left", encode(-1, 0, 1), {}, 0.8164966f},  // (1 + 1) / sqrt(2 * 3)
        ShadeCase{"facing right", encode(1, 0, 1), {}, 0.0f},
        ShadeCase{"facing right, x inverted", encode(1, 0, 1), {false, true, false}, 0.8164966f},
        ShadeCase{"facing down, y inverted", encode(0, 1, 1), {false, false, true}, 0.8164966f},
        ShadeCase{"facing up", encode(0, -1, 1), {}, 0.8164966f},
        // A blurred map stores 0.5 + 0.5 z and renormalises over four lanes, which
        // shortens x and y too; decoding blue that way keeps the direction.
        ShadeCase{"left after blur",
                  {0.5f - 0.5f * 0.5f, 0.5f, 0.5f + 0.5f * 0.5f, 1.0f},
                  {true, false, false},
                  0.8164966f},
        ShadeCase{"zero length", {0.5f, 0.5f, 0.0f, 1.0f}, {}, 0.0f}));

TEST(Preview, KeepsTheSizeAndShadesEachPixel) {
    Img map = filled(4, 3, {0.5f, 0.5f, 1.0f, 1.0f});
    set_px(map.get(), 3, 2, encode(-1, -1, 1));
    rkcli::Image preview = rkcli::render_preview(map.get(), {});
    ASSERT_TRUE(preview);
    EXPECT_EQ(imgbuf_w(preview.get()), 4u);
    EXPECT_EQ(imgbuf_h(preview.get()), 3u);
    EXPECT_NEAR(get_px(preview.get(), 0, 0)[0], kFlatShade, 1e-6f);
    EXPECT_NEAR(get_px(preview.get(), 3, 2)[0], 1.0f, 1e-6f);
}

TEST(Preview, NotANumberNeverReachesTheShade) {
    const float nan = std::nanf("");
    EXPECT_FALSE(std::isnan(shade_of({0.5f, 0.5f, 0.0f, 1.0f})));
    const float shade = shade_of({nan, 0.5f, 1.0f, 1.0f});
    EXPECT_TRUE(shade >= 0.0f && shade <= 1.0f) << shade;
}

TEST(Preview, EmptyImage) {
    Img map = make_img(0, 0);
    rkcli::Image preview = rkcli::render_preview(map.get(), {});
    ASSERT_TRUE(preview);
    EXPECT_EQ(imgbuf_w(preview.get()), 0u);
}
