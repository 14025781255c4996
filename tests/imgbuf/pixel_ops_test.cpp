#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "image_helpers.h"
#include "imgbuf/luminance.h"

// One channel only; above 3 nothing, not even in a neighbour on the heap.
TEST(SetChannel, WritesOneChannelOnly) {
    Img a = filled(3, 2, {0.1f, 0.2f, 0.3f, 0.4f}), b = filled(2, 1, {5, 6, 7, 8});
    imgbuf_set_channel(a.get(), 3, 0.0f);
    imgbuf_set_channel(a.get(), 0, 7.0f);
    imgbuf_set_channel(a.get(), 4, 9.0f);
    imgbuf_set_channel(a.get(), UINT32_MAX, 9.0f);
    EXPECT_EQ(get_px(a.get(), 2, 1), (Px{7.0f, 0.2f, 0.3f, 0.0f}));
    EXPECT_EQ(get_px(b.get(), 0, 0), (Px{5, 6, 7, 8}));
}

// The unit clamp keeps its comparisons' answers bit for bit however it is
// computed: NaN counts as 1, -0 becomes +0, the bounds' neighbours stay.
TEST(Luminance, UnitClampAtTheEdgesOfFloat) {
    const float values[] = {NAN, -NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1.0f,
                            std::nextafter(1.0f, 2.0f), std::nextafter(1.0f, 0.0f),
                            std::nextafter(0.0f, 1.0f), std::nextafter(0.0f, -1.0f), 0.5f, -3.0f};
    for (float v : values) {
        const float below_one = v < 1.0f ? v : 1.0f;
        const float want = below_one > 0.0f ? below_one : 0.0f;
        const float got = rk::clamp01(v);
        EXPECT_EQ(std::signbit(got), std::signbit(want)) << v;
        EXPECT_EQ(got, want) << v;
    }
}

// Expected sums in the library's grouping: (0.299 R + 0.587 G) + (0.114 B + 0 A).
constexpr float luma(float r, float g, float b) {
    return (0.299f * r + 0.587f * g) + (0.114f * b + 0.0f);
}

// Grey with opaque alpha: the copy from the channels as they are (its source
// untouched), in place from the channels clamped to [0, 1].
TEST(Luminance, CopiedAndInPlace) {
    struct Case {
        Px in;
        float in_place, copied;
    };
    const Case cases[] = {
        {{2.0f, -1.0f, 0.5f, 7.0f}, luma(1, 0, 0.5f), luma(2, -1, 0.5f)},
        {{2.0f, 0.0f, 0.0f, 0.5f}, 0.299f, 0.598f},
        {{0.25f, 0.5f, 0.75f, 0.0f}, luma(0.25f, 0.5f, 0.75f), luma(0.25f, 0.5f, 0.75f)},
        // alpha has no part in the sum, not even an infinite or NaN one
        {{0.25f, 0.5f, 0.75f, INFINITY}, luma(0.25f, 0.5f, 0.75f), luma(0.25f, 0.5f, 0.75f)},
        {{2.0f, 0.0f, 0.0f, -INFINITY}, 0.299f, 0.598f},
    };
    for (const Case& c : cases) {
        Img img = filled(2, 3, c.in);
        Img copy(calc_luminance(img.get()));
        ASSERT_TRUE(copy);
        EXPECT_EQ(imgbuf_w(copy.get()), 2u);
        EXPECT_EQ(imgbuf_h(copy.get()), 3u);
        EXPECT_EQ(get_px(copy.get(), 1, 2), (Px{c.copied, c.copied, c.copied, 1.0f}));
        EXPECT_EQ(get_px(img.get(), 1, 2), c.in);
        calc_luminance_inplace(img.get());
        EXPECT_EQ(get_px(img.get(), 1, 2), (Px{c.in_place, c.in_place, c.in_place, 1.0f}));
    }
    Img empty = make_img(0, 4);
    Img copy(calc_luminance(empty.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(imgbuf_w(copy.get()), 0u);
    EXPECT_EQ(imgbuf_h(copy.get()), 4u);
    calc_luminance_inplace(empty.get());
}

// Saturating bytes in the order blue, green, red, 255, of the row asked for only.
TEST(DisplayRow, SaturatingBytesInOrder) {
    const std::pair<float, uint8_t> bytes[] = {
        {0.5f, 128}, {0.498f, 127}, {-0.001f, 0}, {2.01f, 255}, {std::nanf(""), 0}};
    for (auto [v, byte] : bytes) {
        Img img = filled(1, 1, {v, v, v, 0.0f});
        std::vector<uint8_t> out(4, 1);
        imgbuf_convertline_b8g8r8x8(out.data(), img.get(), 0);
        EXPECT_EQ(out, (std::vector<uint8_t>{byte, byte, byte, 255})) << v;
    }
    Img img = filled(2, 2, {0, 0, 0, 1});
    set_px(img.get(), 0, 1, {1.0f, 0.5f, 0.0f, 0.3f});
    set_px(img.get(), 1, 1, {0.0f, 0.0f, 1.0f, 0.3f});
    std::vector<uint8_t> out(8, 7);
    imgbuf_convertline_b8g8r8x8(out.data(), img.get(), 1);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 255, 255, 255, 0, 0, 255}));
    imgbuf_convertline_b8g8r8x8(out.data(), img.get(), 2);  // no such row: nothing written
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 255, 255, 255, 0, 0, 255}));
}
