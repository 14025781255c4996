#include <gtest/gtest.h>

#include <cmath>

#include "image_helpers.h"

namespace {

Img resample(const Img& src, uint32_t w, uint32_t h) {
    return Img(imgbuf_resample(src.get(), w, h));
}

// Red = column, green = row, so every sampled position is visible in the pixel.
Img ramp(uint32_t w, uint32_t h) {
    Img img = make_img(w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) set_px(img.get(), x, y, {float(x), float(y), 0.25f, 1.0f});
    return img;
}

}  // namespace

TEST(Resample, SameSizeIsExactAndClearsNegativeZero) {
    Img src = ramp(5, 4);
    set_px(src.get(), 2, 1, {-0.0f, 0.125f, 3.5f, -2.0f});
    Img out = resample(src, 5, 4);
    ASSERT_TRUE(out);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            Px a = get_px(src.get(), x, y), b = get_px(out.get(), x, y);
            for (int c = 0; c < 4; ++c) EXPECT_EQ(a[c], b[c]);
        }
    EXPECT_FALSE(std::signbit(get_px(out.get(), 2, 1)[0]));
}

TEST(Resample, Upsampling2To3AveragesTheMiddle) {
    Img src = make_img(2, 2);
    for (uint32_t y = 0; y < 2; ++y) {
        set_px(src.get(), 0, y, {0.0f, 1.0f, 0.2f, 1.0f});
        set_px(src.get(), 1, y, {1.0f, 0.0f, 0.4f, 1.0f});
    }
    Img out = resample(src, 3, 2);
    EXPECT_EQ(get_px(out.get(), 1, 0), (Px{0.5f, 0.5f, 0.5f * 0.2f + 0.5f * 0.4f, 1.0f}));
}

TEST(Resample, Downsampling4To2KeepsOuterColumns) {
    Img src = ramp(4, 3);
    Img out = resample(src, 2, 3);
    for (uint32_t y = 0; y < 3; ++y) {
        EXPECT_EQ(get_px(out.get(), 0, y), get_px(src.get(), 0, y));
        EXPECT_EQ(get_px(out.get(), 1, y), get_px(src.get(), 3, y));
    }
}

TEST(Resample, Width100To37HitsLastColumn) {
    Img src = ramp(100, 2);
    Img out = resample(src, 37, 2);
    EXPECT_EQ(get_px(out.get(), 36, 0)[0], 99.0f);
    EXPECT_EQ(get_px(out.get(), 4, 0)[0], 11.0f);  // 4 * 2.75
}

TEST(Resample, RowsAreNotFlipped) {
    Img src = ramp(3, 5);
    Img out = resample(src, 3, 3);
    EXPECT_EQ(get_px(out.get(), 0, 0)[1], 0.0f);
    EXPECT_EQ(get_px(out.get(), 0, 1)[1], 2.0f);
    EXPECT_EQ(get_px(out.get(), 0, 2)[1], 4.0f);
}

TEST(Resample, EmptyTargetAndEmptySource) {
    Img src = ramp(4, 4);
    Img empty = resample(src, 0, 3);
    ASSERT_TRUE(empty);
    EXPECT_EQ(imgbuf_w(empty.get()), 0u);
    EXPECT_EQ(imgbuf_h(empty.get()), 3u);

    Img none = make_img(0, 0);
    Img white = resample(none, 3, 2);
    ASSERT_TRUE(white);
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x)
            for (float c : get_px(white.get(), x, y)) EXPECT_NEAR(c, 1.0f, 1e-6f);
}

TEST(Resample, SingleColumnOrRowSamplesTheFirst) {
    Img src = ramp(4, 4);
    Img col = resample(src, 1, 4);
    Img row = resample(src, 4, 1);
    Img dot = resample(src, 1, 1);
    for (uint32_t y = 0; y < 4; ++y) EXPECT_EQ(get_px(col.get(), 0, y), get_px(src.get(), 0, y));
    for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(get_px(row.get(), x, 0), get_px(src.get(), x, 0));
    EXPECT_EQ(get_px(dot.get(), 0, 0), get_px(src.get(), 0, 0));
    Img one = ramp(1, 1);
    Img grown = resample(one, 3, 3);
    for (float c : get_px(grown.get(), 2, 2)) EXPECT_FALSE(std::isnan(c));
}

TEST(Resample, TooLargeTargetGivesNull) {
    Img src = ramp(2, 2);
    EXPECT_EQ(imgbuf_resample(src.get(), 1u << 14, 1u << 14), nullptr);
}
