#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>

#include "heightmap_helpers.h"

// Every step on.
const Params kEverything{
    .mode = 6, .flags = 0xFF, .midpoint = 0.3f, .detail_size = 5, .threshold = 1, .smooth_size = 5};

TEST(Pipeline, EmptyImagesPassThroughEveryStep) {
    for (auto [w, h] : {std::pair{0u, 5u}, std::pair{5u, 0u}}) {
        Img src = make_img(w, h);
        Img out = heightmap(src.get(), kEverything);
        ASSERT_TRUE(out);
        EXPECT_EQ(imgbuf_w(out.get()), w);
        EXPECT_EQ(imgbuf_h(out.get()), h);
    }
}

TEST(Pipeline, StepsRunInOrderAndLeaveTheSourceAlone) {
    Img src = image_of(4, 1, [](uint32_t x, uint32_t) {
        return Px{0.2f + 0.2f * x, 0.9f, 0.1f, 0.5f};
    });
    Img before = image_of(4, 1, [&](uint32_t x, uint32_t y) { return get_px(src.get(), x, y); });
    // Auto-levels shifts 0.2..0.8 down to 0..0.6, the curve (m = 0.25) doubles
    // what lies below m and takes the rest along 2/3 x + 1/3, the clamp caps at
    // 0.7 and sets alpha; bit 64 does nothing.
    Img out = heightmap(src.get(),
                        {.flags = HM_AUTO_LEVELS | HM_CLAMP | 64, .midpoint = 0.25f, .high = 0.7f});
    const float want[4] = {0.0f, 0.4f, 0.6f, 0.7f};
    for (uint32_t x = 0; x < 4; ++x) {
        const Px p = get_px(out.get(), x, 0);
        EXPECT_FLOAT_EQ(p[0], want[x]) << x;
        EXPECT_TRUE(p[1] == p[0] && p[2] == p[0] && p[3] == 1.0f) << x;
    }
    EXPECT_TRUE(heightmap(src.get(), kEverything));
    EXPECT_TRUE(same_image(src.get(), before.get()));
}

// With the address space capped just above what the process holds, the result
// image or the smoothing's scratch rows cannot be had: the first gives null, the
// second an unsmoothed result. The image is wide and short so that the scratch
// (18 rows of the size-3 blur) is more than half the result (32 rows of 1 MiB).
// Runs in a child process; not under the address sanitizer, whose shadow memory
// the cap would break.
TEST(PipelineDeathTest, AllocationFailures) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "address space caps break the sanitizer's shadow memory";
    const uint32_t w = 65536, h = 32;  // 32 MiB per image
    Img src = image_of(w, h, [](uint32_t x, uint32_t y) {
        return Px{float((x ^ y) & 1023) / 1024, 0, 0, 1};
    });
    const auto cap_above_use = [](size_t extra) {
        std::ifstream statm("/proc/self/statm");
        size_t pages = 0;
        statm >> pages;
        const rlim_t limit = pages * 4096 + extra;
        const rlimit r{limit, limit};
        return setrlimit(RLIMIT_AS, &r) == 0;
    };
    const Params smooth{.flags = HM_SMOOTH, .smooth_size = 3, .smooth_kind = 1};
    EXPECT_EXIT(
        {
            if (!cap_above_use(size_t{16} << 20)) std::exit(2);
            std::exit(heightmap(src.get(), smooth) ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            Img plain = heightmap(src.get(), {});  // built before the cap
            if (!plain || !cap_above_use(size_t{41} << 20)) std::exit(2);
            Img out = heightmap(src.get(), smooth);
            std::exit(out && same_image(out.get(), plain.get()) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
