#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "filter/kernel_cache.h"
#include "reliefkit.h"

using namespace rk;

class KernelCache : public ::testing::Test {
  protected:
    void SetUp() override { init(); }
    void TearDown() override { cleanup(); }
};

TEST_F(KernelCache, StartsEmptyAndBuildsOnce) {
    for (auto kind : {KERNEL_GAUSSIAN, KERNEL_BOX, KERNEL_TENT})
        for (uint32_t n = 0; n < kKernelSlots; ++n) ASSERT_EQ(kernel_cache_peek(kind, n), nullptr);
    const BlurKernel* k = kernel_cache_get(KERNEL_GAUSSIAN, 7);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->size, 7u);
    EXPECT_EQ(kernel_cache_peek(KERNEL_GAUSSIAN, 7), k);
    EXPECT_EQ(kernel_cache_get(KERNEL_GAUSSIAN, 7), k);
    EXPECT_EQ(kernel_cache_peek(KERNEL_BOX, 7), nullptr);
    EXPECT_EQ(kernel_cache_get(KERNEL_BOX, 255), nullptr);
    EXPECT_EQ(kernel_cache_get(KERNEL_BOX, 1), nullptr);
    ASSERT_NE(kernel_cache_get(KERNEL_TENT, 253), nullptr);
    EXPECT_EQ(kernel_cache_get(KERNEL_TENT, 253)->size, 253u);
}

TEST_F(KernelCache, CleanupEmptiesAndRepeatsHarmlessly) {
    ASSERT_NE(kernel_cache_get(KERNEL_BOX, 9), nullptr);
    ASSERT_NE(kernel_cache_get(KERNEL_TENT, 9), nullptr);
    cleanup();
    cleanup();
    EXPECT_EQ(kernel_cache_peek(KERNEL_BOX, 9), nullptr);
    init();
    init();  // keeps the caches: the slot built in between survives
    ASSERT_NE(kernel_cache_get(KERNEL_BOX, 9), nullptr);
    init();
    EXPECT_NE(kernel_cache_peek(KERNEL_BOX, 9), nullptr);
    cleanup();  // without init the cache still builds on demand
    ASSERT_NE(kernel_cache_get(KERNEL_TENT, 5), nullptr);
    EXPECT_EQ(kernel_cache_get(KERNEL_TENT, 5)->weights[2], 3.0f);
}

TEST_F(KernelCache, ConcurrentFirstUseBuildsOneKernel) {
    std::vector<const BlurKernel*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = kernel_cache_get(KERNEL_GAUSSIAN, 99); });
    for (auto& t : threads) t.join();
    for (const BlurKernel* k : seen) EXPECT_EQ(k, seen[0]);
}
