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

constexpr float kFlat = 0.57735026f;       // light 35 degrees up: cos of its angle to straight up
constexpr float kHalfTurned = 0.8164966f;  // a normal 45 degrees towards the light's side

}  // namespace

TEST(PreviewShade, IsLambertOfTheDecodedNormal) {
    // Encoding: blue biased, x inverted, y inverted. A blurred map holds 0.5 + 0.5 z
    // in blue, shortened with x and y.
    const std::tuple<Px, rkcli::NormalEncoding, float> cases[] = {
        {{0.5f, 0.5f, 1.0f, 1.0f}, {}, kFlat},
        {{0.5f, 0.5f, 0.8535534f, 1.0f}, {true, false, false}, kFlat},
        {{0.25f, 0.5f, 0.75f, 1.0f}, {true, false, false}, kHalfTurned},
        {encode(-1, -1, 1), {}, 1.0f},
        {encode(1, 1, 0.2f), {}, 0.0f},
        {encode(0, -1, 1), {}, kHalfTurned},
        {encode(1, 0, 1), {false, true, false}, kHalfTurned},
        {encode(0, 1, 1), {false, false, true}, kHalfTurned},
        {{0.5f, 0.5f, 0.0f, 1.0f}, {}, 0.0f},             // zero length
        {{std::nanf(""), 0.5f, 1.0f, 1.0f}, {}, 0.0f},  // not a number
    };
    for (const auto& [pixel, encoding, shade] : cases) {
        SCOPED_TRACE(testing::PrintToString(pixel));
        Img map = filled(3, 2, {0.5f, 0.5f, 1.0f, 1.0f});
        set_px(map.get(), 2, 1, pixel);
        rkcli::Image preview = rkcli::render_preview(map.get(), encoding);
        ASSERT_TRUE(preview);
        const Px p = get_px(preview.get(), 2, 1);
        EXPECT_NEAR(p[0], shade, 2e-6f);
        EXPECT_EQ(p, (Px{p[0], p[0], p[0], 1.0f}));
    }
}
