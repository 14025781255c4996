#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "image_helpers.h"

TEST(SetChannel, WritesOneChannelOnly) {
    Img img = filled(3, 2, {0.1f, 0.2f, 0.3f, 0.4f});
    imgbuf_set_channel(img.get(), 3, 0.0f);
    EXPECT_EQ(get_px(img.get(), 2, 1), (Px{0.1f, 0.2f, 0.3f, 0.0f}));
    imgbuf_set_channel(img.get(), 0, 7.0f);
    EXPECT_EQ(get_px(img.get(), 0, 0), (Px{7.0f, 0.2f, 0.3f, 0.0f}));
}

TEST(SetChannel, ChannelAbove3DoesNothing) {
    Img a = filled(2, 2, {1, 2, 3, 4});
    Img b = filled(2, 1, {5, 6, 7, 8});  // a neighbour on the heap must stay intact too
    imgbuf_set_channel(a.get(), 4, 0.0f);
    imgbuf_set_channel(a.get(), UINT32_MAX, 0.0f);
    EXPECT_EQ(get_px(a.get(), 1, 1), (Px{1, 2, 3, 4}));
    EXPECT_EQ(get_px(b.get(), 0, 0), (Px{5, 6, 7, 8}));
}

struct LumaCase {
    Px in;
    Px in_place;  // clamped first
    Px copied;    // unclamped
};

class Luminance : public ::testing::TestWithParam<LumaCase> {};

TEST_P(Luminance, BothKinds) {
    const LumaCase c = GetParam();
    Img img = filled(2, 3, c.in);
    Img copy(calc_luminance(img.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(imgbuf_w(copy.get()), 2u);
    EXPECT_EQ(imgbuf_h(copy.get()), 3u);
    EXPECT_EQ(get_px(copy.get(), 1, 2), c.copied);
    EXPECT_EQ(get_px(img.get(), 1, 2), c.in);  // the source is untouched
    calc_luminance_inplace(img.get());
    EXPECT_EQ(get_px(img.get(), 1, 2), c.in_place);
}

// Expected sums in the library's grouping: (0.299 R + 0.587 G) + (0.114 B + 0 A).
constexpr float luma(float r, float g, float b) {
    return (0.299f * r + 0.587f * g) + (0.114f * b + 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Luminance,
    ::testing::Values(LumaCase{{2.0f, -1.0f, 0.5f, 7.0f},
                               {luma(1, 0, 0.5f), luma(1, 0, 0.5f), luma(1, 0, 0.5f), 1.0f},
                               {luma(2, -1, 0.5f), luma(2, -1, 0.5f), luma(2, -1, 0.5f), 1.0f}},
                      LumaCase{{2.0f, 0.0f, 0.0f, 0.5f},
                               {0.299f, 0.299f, 0.299f, 1.0f},
                               {0.598f, 0.598f, 0.598f, 1.0f}},
                      LumaCase{{0.25f, 0.5f, 0.75f, 0.0f},
                               {luma(0.25f, 0.5f, 0.75f), luma(0.25f, 0.5f, 0.75f),
                                luma(0.25f, 0.5f, 0.75f), 1.0f},
                               {luma(0.25f, 0.5f, 0.75f), luma(0.25f, 0.5f, 0.75f),
                                luma(0.25f, 0.5f, 0.75f), 1.0f}}));

TEST(Luminance, EmptyImage) {
    Img img = make_img(0, 4);
    Img copy(calc_luminance(img.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(imgbuf_w(copy.get()), 0u);
    EXPECT_EQ(imgbuf_h(copy.get()), 4u);
    calc_luminance_inplace(img.get());
}

struct ByteCase {
    float v;
    uint8_t byte;
};

class DisplayRow : public ::testing::TestWithParam<ByteCase> {};

TEST_P(DisplayRow, SaturatingBytes) {
    const ByteCase c = GetParam();
    Img img = filled(1, 1, {c.v, c.v, c.v, 0.0f});
    uint8_t out[4] = {1, 2, 3, 4};
    imgbuf_convertline_b8g8r8x8(out, img.get(), 0);
    EXPECT_EQ(out[0], c.byte);
    EXPECT_EQ(out[1], c.byte);
    EXPECT_EQ(out[2], c.byte);
    EXPECT_EQ(out[3], 255);
}

INSTANTIATE_TEST_SUITE_P(Table, DisplayRow,
                         ::testing::Values(ByteCase{0.5f, 128}, ByteCase{0.498f, 127},
                                           ByteCase{-0.001f, 0}, ByteCase{2.01f, 255},
                                           ByteCase{std::numeric_limits<float>::quiet_NaN(), 0}));

TEST(DisplayRow, ChannelOrderAndRowAddressing) {
    Img img = filled(2, 2, {0, 0, 0, 1});
    set_px(img.get(), 0, 1, {1.0f, 0.5f, 0.0f, 0.3f});
    set_px(img.get(), 1, 1, {0.0f, 0.0f, 1.0f, 0.3f});
    std::vector<uint8_t> out(8, 7);
    imgbuf_convertline_b8g8r8x8(out.data(), img.get(), 1);
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 255, 255, 255, 0, 0, 255}));
}

TEST(DisplayRow, RowAtHeightWritesNothing) {
    Img img = filled(2, 2, {1, 1, 1, 1});
    std::vector<uint8_t> out(8, 7);
    imgbuf_convertline_b8g8r8x8(out.data(), img.get(), 2);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 7));
}
