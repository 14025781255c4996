// The banded blur cut into chunks for several threads gives the bits of one
// sweep, on every instruction-set build, for kernels up to the longest.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "common/thread_pool.h"
#include "filter/convolve.h"
#include "filter/kernel_cache.h"

using namespace rk;

namespace {

using Case = std::tuple<ConvolvePath, KernelKind, uint32_t, uint32_t, uint32_t>;
class ChunkedBlur : public ::testing::TestWithParam<Case> {};

TEST_P(ChunkedBlur, SameBitsAsOneSweep) {
    const auto [path, kind, size, w, h] = GetParam();
    if (!convolve_path_supported(path)) GTEST_SKIP() << "processor lacks this instruction set";
    const BlurKernel* k = kernel_cache_get(kind, size);
    ASSERT_TRUE(k);
    ImgbufPtr one = make_image(w, h), many = make_image(w, h);
    std::mt19937 rng(size * 7 + w + h);
    std::uniform_real_distribution<float> u(-1.0f, 2.0f);
    for (size_t i = 0; i < size_t{w} * h * 4; ++i) one->pixels[i] = u(rng);
    std::memcpy(many->pixels, one->pixels, size_t{w} * h * 16);
    set_thread_count_to(1);
    ASSERT_TRUE(blur_in_bands_on(path, one.get(), k->weights4, k->size, k->norm));
    set_thread_count_to(5);
    ASSERT_TRUE(blur_in_bands_on(path, many.get(), k->weights4, k->size, k->norm));
    set_thread_count_to(0);
    EXPECT_EQ(std::memcmp(one->pixels, many->pixels, size_t{w} * h * 16), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, ChunkedBlur,
    ::testing::Combine(::testing::Values(CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512),
                       ::testing::Values(KERNEL_GAUSSIAN, KERNEL_TENT),
                       ::testing::Values(3u, 99u, 253u), ::testing::Values(2u, 19u),
                       ::testing::Values(7u, 1100u, 2153u)));

}  // namespace
