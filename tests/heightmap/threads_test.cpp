// Every thread count gives the same bits: the generators and resampling on 1
// thread against several, on sizes that cut into uneven bands and chunks.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "heightmap_helpers.h"

namespace {

// Random colours with a sprinkling of -0, 0, NaN and values outside 0..1, which
// the min/max of auto-levels must treat as one pass over the image would.
Img noisy(uint32_t w, uint32_t h, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.2f, 1.2f);
    const float odd[4] = {-0.0f, 0.0f, std::nanf(""), 1.0f};
    return image_of(w, h, [&](uint32_t, uint32_t) {
        const float r = rng() % 97 == 0 ? odd[rng() % 4] : u(rng);
        return Px{r, u(rng), u(rng), 1.0f};
    });
}

// Each generator or resampling, run once per thread count.
using Run = Img (*)(const imgbuf*);

// Every step, with a Gaussian smoothing of 99.
Img full_heightmap(const imgbuf* src) {
    return Img(calc_heightmap_from_photo(src, 7, HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH,
                                         0.3f, 0, 1, 9, 0.05f, 1, 1, 1, 99, 0));
}
// Inversion and clamp, with a tent smoothing of 31.
Img tent_heightmap(const imgbuf* src) {
    return Img(calc_heightmap_from_photo(src, 4, HM_INVERT_RED | HM_CLAMP | HM_SMOOTH, 0.5f, 0.1f,
                                         0.8f, 0, 0, 1, 1, 1, 31, 2));
}
// The de-lit mode (a tent smoothing of 31), and the de-lit colour of a tiling
// photograph: their sums over the image are reduced in a fixed order.
Img delit_heightmap(const imgbuf* src) {
    rk_height_params p;
    rk_height_params_init(&p, sizeof p);
    p.mode = HM_MODE_DELIT, p.smooth_size = 31, p.smooth_kind = 2;
    imgbuf* out = nullptr;
    return Img(rk_height_map(src, &p, &out) == RK_OK ? out : nullptr);
}
Img albedo(const imgbuf* src) {
    rk_albedo_params p;
    rk_albedo_params_init(&p, sizeof p);
    p.edge_mode = RK_EDGE_WRAP;
    imgbuf* out = nullptr;
    return Img(rk_albedo_map(src, &p, &out) == RK_OK ? out : nullptr);
}
// A box blur of 31, which cuts the tallest images into five chunks.
Img box_normals(const imgbuf* src) {
    return Img(calc_normalmap_from_heightmap(src, 1, 1, 3, 1, 31, 1));
}
Img resampled(const imgbuf* src) {
    return Img(imgbuf_resample(src, imgbuf_w(src) * 2 + 1, imgbuf_h(src) * 3 / 2 + 1));
}

using Case = std::tuple<Run, uint32_t, uint32_t>;
class ThreadCounts : public ::testing::TestWithParam<Case> {};

TEST_P(ThreadCounts, GiveTheBitsOfOneThread) {
    const auto [run, w, h] = GetParam();
    const Img src = noisy(w, h, w * 31 + h);
    const Img one = on_threads(1, [&] { return run(src.get()); });
    ASSERT_TRUE(one);
    for (uint32_t n : {2u, 3u, 7u}) {
        const Img many = on_threads(n, [&] { return run(src.get()); });
        ASSERT_TRUE(many);
        EXPECT_TRUE(same_image(one.get(), many.get())) << n << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ThreadCounts,
    ::testing::Combine(::testing::Values(full_heightmap, tent_heightmap, delit_heightmap, albedo,
                                         box_normals, resampled),
                       ::testing::Values(1u, 3u, 37u),  // the two first narrower than a kernel
                       ::testing::Values(1u, 2u, 161u, 1031u)));

// Several host threads calling at once share the workers and still get the
// bits of one thread each.
TEST(ThreadCounts, ConcurrentCallersGetTheirOwnResults) {
    const Img src = noisy(64, 700, 5);
    const Img want = on_threads(1, [&] { return full_heightmap(src.get()); });
    set_thread_count(3);
    std::vector<Img> got(4);
    std::vector<std::thread> callers;
    for (Img& g : got) callers.emplace_back([&] { g = full_heightmap(src.get()); });
    for (std::thread& c : callers) c.join();
    set_thread_count(0);
    for (const Img& g : got) EXPECT_TRUE(g && same_image(want.get(), g.get()));
}

TEST(ThreadCounts, ZeroMeansTheUsableProcessors) {
    set_thread_count(5);
    EXPECT_EQ(get_thread_count(), 5u);
    set_thread_count(0);
    EXPECT_TRUE(get_thread_count() >= 1 && get_thread_count() <= std::thread::hardware_concurrency());
}

}  // namespace
