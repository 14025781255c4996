#include <gtest/gtest.h>

#include <cmath>

#include "image_helpers.h"
#include "preview.h"

namespace {

// A direction encoded as the library stores normals before any blur.
Px encode(float x, float y, float z) {
    const float n = std::sqrt(x * x + y * y + z * z);
    return {0.5f + 0.5f * x / n, 0.5f + 0.5f * y / n, z / n, 1.0f};
}

struct ShadeCase {
    const char* what;
    Px pixel;
    rkcli::NormalEncoding encoding;  // blue biased, x inverted, y inverted
    float shade;
};

void PrintTo(const ShadeCase& c, std::ostream* os) {
    *os << c.what;
}

constexpr float kFlat = 0.57735026f;       // light 35 degrees up: cos of its angle to straight up
constexpr float kHalfTurned = 0.8164966f;  // a normal 45 degrees towards the light's side

}  // namespace

class PreviewShade : public ::testing::TestWithParam<ShadeCase> {};

TEST_P(PreviewShade, IsLambertOfTheDecodedNormal) {
    Img map = filled(3, 2, {0.5f, 0.5f, 1.0f, 1.0f});
    set_px(map.get(), 2, 1, GetParam().pixel);
    rkcli::Image preview = rkcli::render_preview(map.get(), GetParam().encoding);
    ASSERT_TRUE(preview);
    EXPECT_EQ(imgbuf_w(preview.get()), 3u);
    const Px p = get_px(preview.get(), 2, 1);
    EXPECT_NEAR(p[0], GetParam().shade, 2e-6f);
    EXPECT_EQ(p, (Px{p[0], p[0], p[0], 1.0f}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PreviewShade,
    ::testing::Values(
        ShadeCase{"flat", {0.5f, 0.5f, 1.0f, 1.0f}, {}, kFlat},
        // A blurred map holds 0.5 + 0.5 z in blue, shortened with x and y.
        ShadeCase{"flat after blur", {0.5f, 0.5f, 0.8535534f, 1.0f}, {true, false, false}, kFlat},
        ShadeCase{"left after blur", {0.25f, 0.5f, 0.75f, 1.0f}, {true, false, false}, kHalfTurned},
        ShadeCase{"facing the light", encode(-1, -1, 1), {}, 1.0f},
        ShadeCase{"facing away", encode(1, 1, 0.2f), {}, 0.0f},
        ShadeCase{"facing left", encode(-1, 0, 1), {}, kHalfTurned},
        ShadeCase{"facing up the picture", encode(0, -1, 1), {}, kHalfTurned},
        ShadeCase{"facing right", encode(1, 0, 1), {}, 0.0f},
        ShadeCase{"facing right, x inverted", encode(1, 0, 1), {false, true, false}, kHalfTurned},
        ShadeCase{"facing down, y inverted", encode(0, 1, 1), {false, false, true}, kHalfTurned},
        ShadeCase{"zero length", {0.5f, 0.5f, 0.0f, 1.0f}, {}, 0.0f},
        ShadeCase{"not a number", {std::nanf(""), 0.5f, 1.0f, 1.0f}, {}, 0.0f}));
