#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "filter/kernels.h"

using namespace rk;

struct GaussCase {
    uint32_t size;
    std::vector<float> taps;
    float norm;
};

class Gaussian : public ::testing::TestWithParam<GaussCase> {};

TEST_P(Gaussian, ReferenceTapsAndNorm) {
    const GaussCase c = GetParam();
    GaussianKernel k;
    build_gaussian(k, c.size);
    ASSERT_EQ(k.size, c.size);
    for (uint32_t i = 0; i < c.size; ++i) {
        EXPECT_NEAR(k.weights[i], c.taps[i], 1e-6f) << "tap " << i;
        EXPECT_EQ(k.weights[i], k.weights[c.size - 1 - i]);
        for (float lane : k.weights4[i]) EXPECT_EQ(lane, k.weights[i]);
    }
    EXPECT_NEAR(k.norm, c.norm, 1e-5f);
    for (float lane : k.norm4) EXPECT_EQ(lane, k.norm);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Gaussian,
    ::testing::Values(
        GaussCase{3, {0.166151f, 0.398942f, 0.166151f}, 1.367532f},
        GaussCase{5, {0.043597f, 0.288705f, 0.398942f, 0.288705f, 0.043597f}, 0.940251f},
        GaussCase{7,
                  {0.021375f, 0.135811f, 0.341266f, 0.398942f, 0.341266f, 0.135811f, 0.021375f},
                  0.71641f}));

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

// Box: all ones over the size; tent: 1, 2, ... peak ... 2, 1 over the square
// of the half size.
TEST(BoxAndTent, TapsAndNorm) {
    BoxKernel box;
    TentKernel k3, k5, k99;
    build_box(box, 9);
    build_tent(k3, 3);
    build_tent(k5, 5);
    build_tent(k99, 99);
    EXPECT_EQ(std::vector<float>(box.weights, box.weights + 9), std::vector<float>(9, 1.0f));
    EXPECT_EQ(box.norm, 1.0f / 9.0f);
    EXPECT_EQ(std::vector<float>(k3.weights, k3.weights + 3), (std::vector<float>{1, 2, 1}));
    EXPECT_EQ(k3.norm, 0.25f);
    EXPECT_EQ(std::vector<float>(k5.weights, k5.weights + 5), (std::vector<float>{1, 2, 3, 2, 1}));
    EXPECT_EQ(k5.norm, 1.0f / 9.0f);
    EXPECT_EQ(std::vector<float>({k99.weights[0], k99.weights[49], k99.weights[98]}),
              (std::vector<float>{1, 50, 1}));
    EXPECT_EQ(k99.norm, 1.0f / 2500.0f);
}
