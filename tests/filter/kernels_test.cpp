#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "filter/kernels.h"

using namespace rk;

TEST(Gaussian, ReferenceTapsAndNorm) {
    const struct {
        uint32_t size;
        std::vector<float> taps;
        float norm;
    } table[] = {
        {3, {0.166151f, 0.398942f, 0.166151f}, 1.367532f},
        {5, {0.043597f, 0.288705f, 0.398942f, 0.288705f, 0.043597f}, 0.940251f},
        {7,
         {0.021375f, 0.135811f, 0.341266f, 0.398942f, 0.341266f, 0.135811f, 0.021375f},
         0.71641f},
    };
    for (const auto& c : table) {
        GaussianKernel k;
        build_gaussian(k, c.size);
        ASSERT_EQ(k.size, c.size);
        for (uint32_t i = 0; i < c.size; ++i) {
            EXPECT_NEAR(k.weights[i], c.taps[i], 1e-6f) << c.size << " tap " << i;
            EXPECT_EQ(k.weights[i], k.weights[c.size - 1 - i]);
            for (float lane : k.weights4[i]) EXPECT_EQ(lane, k.weights[i]);
        }
        EXPECT_NEAR(k.norm, c.norm, 1e-5f);
        for (float lane : k.norm4) EXPECT_EQ(lane, k.norm);
    }
}

// Large sizes: the centre tap stays the density's peak, the taps are positive,
// the norm is one over their sum, the unused taps zero.
TEST(Gaussian, CentreTapAndLargeSizes) {
    for (uint32_t n : {3u, 15u, 99u, 159u, 253u}) {
        GaussianKernel k;
        build_gaussian(k, n);
        EXPECT_NEAR(k.weights[n / 2], 0.398942f, 1e-6f) << n;
        float sum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_GT(k.weights[i], 0.0f) << n << " tap " << i;
            sum += k.weights[i];
        }
        EXPECT_EQ(k.norm, 1.0f / sum);
        for (uint32_t i = n; i < 255; ++i)
            for (float lane : k.weights4[i]) EXPECT_EQ(lane, 0.0f);
    }
}

// Box: all ones over the size; tent: 1, 2, ... m ... 2, 1 (m the half size
// rounded up) over m squared.
TEST(BoxAndTent, TapsAndNorm) {
    BoxKernel box;
    build_box(box, 9);
    EXPECT_EQ(std::vector<float>(box.weights, box.weights + 9), std::vector<float>(9, 1.0f));
    EXPECT_EQ(box.norm, 1.0f / 9.0f);
    for (uint32_t n : {3u, 5u, 99u}) {
        TentKernel k;
        build_tent(k, n);
        for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(k.weights[i], float(std::min(i, n - 1 - i) + 1));
        const float m = float((n + 1) / 2);
        EXPECT_EQ(k.norm, 1.0f / (m * m)) << n;
    }
}
