#include <gtest/gtest.h>

#include <cstdint>

#include "image_helpers.h"

TEST(Imgbuf, StridesSizesAndRows) {
    struct Case {
        uint32_t w, h, stride_bytes, stride_elems, size;
    };
    for (const Case c : {Case{3, 5, 48, 12, 240}, {1, 1, 16, 4, 16}, {0, 0, 0, 0, 0},
                         {0, 7, 0, 0, 0}, {7, 0, 112, 28, 0}, {640, 480, 10240, 2560, 4915200}}) {
        Img img = make_img(c.w, c.h);
        ASSERT_TRUE(img);
        EXPECT_EQ(imgbuf_w(img.get()), c.w);
        EXPECT_EQ(imgbuf_h(img.get()), c.h);
        EXPECT_EQ(imgbuf_stride_in_bytes(img.get()), c.stride_bytes);
        EXPECT_EQ(imgbuf_stride_in_elems(img.get()), c.stride_elems);
        EXPECT_EQ(imgbuf_buf_size(img.get()), c.size);
        ASSERT_NE(imgbuf_buf(img.get()), nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(imgbuf_buf(img.get())) % 16, 0u);
        for (uint32_t y = 0; y < c.h; ++y)
            EXPECT_EQ(imgbuf_row(img.get(), y), imgbuf_buf(img.get()) + y * c.stride_elems);
        EXPECT_EQ(imgbuf_row(img.get(), c.h), nullptr);
        EXPECT_EQ(imgbuf_row(img.get(), UINT32_MAX), nullptr);
    }
}

TEST(Imgbuf, RefusesBlocksOf4GiBOrMore) {
    // 2^28 pixels of 16 bytes are exactly 2^32 bytes, where a 32-bit size wraps to
    // 0; 65536 squared wraps a 32-bit pixel count, and UINT32_MAX squared times 16
    // a 64-bit byte count. Without rows, a row of 2^32 bytes or more would wrap the
    // stride all the same.
    for (auto [w, h] : {std::pair{1u << 14, 1u << 14}, {1u << 28, 1u}, {65536u, 65536u},
                        {UINT32_MAX, UINT32_MAX}, {1u << 28, 0u}, {UINT32_MAX, 0u}}) {
        EXPECT_EQ(create_imgbuf(w, h), nullptr) << w << " x " << h;
        EXPECT_EQ(imgbuf_resample(filled(1, 1, {}).get(), w, h), nullptr) << w << " x " << h;
    }
}

// Clear zeroes every channel; a copy needs equal width and height; delete takes null.
TEST(Imgbuf, ClearCopyAndDelete) {
    Img src = filled(4, 4, {1, 1, 1, 1}), taller = filled(4, 5, {9, 9, 9, 9}),
        wider = filled(5, 4, {9, 9, 9, 9}), same = filled(4, 4, {1, 2, 3, 4});
    imgbuf_clear(same.get());
    EXPECT_EQ(get_px(same.get(), 3, 2), (Px{0, 0, 0, 0}));
    set_px(src.get(), 3, 3, {5, 6, 7, 8});
    copy_imgbuf_content(taller.get(), src.get());
    copy_imgbuf_content(wider.get(), src.get());
    copy_imgbuf_content(same.get(), src.get());
    EXPECT_EQ(get_px(taller.get(), 3, 3), (Px{9, 9, 9, 9}));
    EXPECT_EQ(get_px(wider.get(), 3, 3), (Px{9, 9, 9, 9}));
    EXPECT_EQ(get_px(same.get(), 3, 3), (Px{5, 6, 7, 8}));
    EXPECT_EQ(get_px(same.get(), 0, 0), (Px{1, 1, 1, 1}));
    delete_imgbuf(nullptr);
}
