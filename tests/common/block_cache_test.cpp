#include "common/block_cache.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "image_helpers.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;

bool aligned(const void* p, size_t to) {
    return reinterpret_cast<uintptr_t>(p) % to == 0;
}

// The process's mapped bytes (VmSize).
size_t vm_size() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    return 0;
}

// A library call in progress, as LibraryCall brackets one.
struct Busy {
    Busy() { rk::block_cache_call_started(); }
    ~Busy() { rk::block_cache_call_ended(); }
};

class BlockCache : public ::testing::Test {
  protected:
    void SetUp() override { cleanup(); }
    void TearDown() override { cleanup(); }
};

// Every size gets a writable block of its alignment; large ones start on a
// huge page.
TEST_F(BlockCache, SizesAndAlignment) {
    for (size_t bytes : {size_t{0}, size_t{1}, size_t{63}, size_t{4096}, 2 * kMiB - 1, 2 * kMiB,
                         2 * kMiB + 1, 3 * kMiB + 5, 9 * kMiB}) {
        rk::Block block(bytes);
        ASSERT_TRUE(block) << bytes;
        EXPECT_TRUE(aligned(block.get(),
                            bytes < rk::kLargeBlockBytes ? rk::kBlockAlign : rk::kLargeBlockBytes))
            << bytes;
        std::memset(block.get(), 0xA5, bytes);
    }
    EXPECT_EQ(rk::acquire_block(SIZE_MAX - 4096), nullptr);
    std::vector<float, rk::BlockAllocator<float>> plane(kMiB);  // zeroed, as any vector
    EXPECT_TRUE(aligned(plane.data(), rk::kLargeBlockBytes) && plane.back() == 0.0f);
}

// A block given back serves the next request of its size or a smaller one
// (cut down: its rest stays cached and joins it again when it comes back),
// never a larger one, which first gives back the oldest blocks; idle, the
// cache keeps only the last block.
TEST_F(BlockCache, ReusesBySizeAndKeepsOneBlockWhenIdle) {
    void* p = rk::acquire_block(6 * kMiB);
    rk::release_block(p, 6 * kMiB);
    EXPECT_EQ(rk::block_cache_bytes(), 6 * kMiB);
    void* same = rk::acquire_block(6 * kMiB - 100);  // the same whole huge pages
    EXPECT_EQ(same, p);
    rk::release_block(same, 6 * kMiB - 100);
    void* cut = rk::acquire_block(4 * kMiB);
    EXPECT_EQ(cut, p);
    EXPECT_EQ(rk::block_cache_bytes(), 2 * kMiB);  // the rest
    void* rest = rk::acquire_block(2 * kMiB);
    EXPECT_EQ(rest, static_cast<char*>(p) + 4 * kMiB);
    std::memset(cut, 1, 4 * kMiB);
    std::memset(rest, 2, 2 * kMiB);
    rk::release_block(cut, 4 * kMiB);
    rk::release_block(rest, 2 * kMiB);
    EXPECT_EQ(rk::block_cache_blocks(), 1u);  // joined again
    EXPECT_EQ(rk::acquire_block(6 * kMiB), p);
    rk::release_block(p, 6 * kMiB);
    void* larger = rk::acquire_block(6 * kMiB + 4097);
    EXPECT_NE(larger, p);
    EXPECT_EQ(rk::block_cache_bytes(), 0u);  // the miss gave the smaller block back
    rk::release_block(larger, 6 * kMiB + 4097);
    EXPECT_EQ(rk::block_cache_blocks(), 1u);
    EXPECT_EQ(rk::acquire_block(6 * kMiB + 4097), larger);
    rk::release_block(larger, 6 * kMiB + 4097);
}

// The idle limit: between calls the cache keeps up to it, oldest out first;
// a miss gives back the oldest blocks until its own size is reached, so
// kept and live memory together never exceed the most ever live.
TEST_F(BlockCache, IdleLimitKeepsBlocksBetweenCallsWithoutRaisingThePeak) {
    struct Limit {
        explicit Limit(size_t bytes) { rk::set_block_cache_idle_limit(bytes); }
        ~Limit() { rk::set_block_cache_idle_limit(0); }
    } limit(40 * kMiB);
    // Every other block stays out, so that no two given back are neighbours
    // (which would be joined).
    std::vector<void*> blocks, kept;
    {
        Busy call;
        for (int i = 0; i < 10; ++i) (i % 2 ? kept : blocks).push_back(rk::acquire_block(10 * kMiB));
        for (void* p : blocks) rk::release_block(p, 10 * kMiB);
    }
    EXPECT_EQ(rk::block_cache_bytes(), 40 * kMiB);  // the oldest went back
    EXPECT_EQ(rk::acquire_block(10 * kMiB), blocks.back());
    void* big = rk::acquire_block(26 * kMiB);  // misses: three older blocks go
    EXPECT_EQ(rk::block_cache_bytes(), 0u);
    rk::release_block(big, 26 * kMiB);
    EXPECT_EQ(rk::block_cache_bytes(), 26 * kMiB);
    rk::set_block_cache_idle_limit(0);
    EXPECT_EQ(rk::block_cache_blocks(), 1u);
    rk::release_block(blocks.back(), 10 * kMiB);
    for (void* p : kept) rk::release_block(p, 10 * kMiB);
}

// A request no cached block fits is made of the cached blocks' pages, moved
// rather than faulted in again: writing all of it takes no fresh page.
TEST_F(BlockCache, AMissReusesTheCachedPages) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "the address checker's shadow of the new block faults in";
    Busy call;
    std::vector<void*> parts, spacers;
    for (int i = 0; i < 3; ++i) {
        parts.push_back(rk::acquire_block(4 * kMiB));
        spacers.push_back(rk::acquire_block(2 * kMiB));  // keeps them from being joined
        std::memset(parts.back(), i + 1, 4 * kMiB);
    }
    for (void* p : parts) rk::release_block(p, 4 * kMiB);
    auto faults = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_minflt;
    };
    const long before = faults();
    void* whole = rk::acquire_block(12 * kMiB);
    ASSERT_NE(whole, nullptr);
    std::memset(whole, 7, 12 * kMiB);
    EXPECT_LE(faults() - before, 2) << "pages faulted in again";
    EXPECT_EQ(rk::block_cache_bytes(), 0u);
    rk::release_block(whole, 12 * kMiB);
    for (void* p : spacers) rk::release_block(p, 2 * kMiB);
}

// Under an address-space limit the cached blocks count as mapped ones: a block
// that fits only once they are given back is still handed out (in a child, as
// the limit stays for the process; not under the address checker, whose
// shadow memory the limit would break).
TEST_F(BlockCache, AnAddressSpaceLimitGetsTheCachedBlocksBack) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "the address checker's shadow needs the address space";
    const pid_t pid = ::fork();
    if (pid == 0) {
        Busy call;
        const size_t size = 200 * kMiB;  // mapped, never touched
        void* spacer = rk::acquire_block(2 * kMiB);
        void* blocks[3];
        for (void*& p : blocks) p = rk::acquire_block(size);
        for (void* p : blocks) rk::release_block(p, size);
        rlimit cap{};
        getrlimit(RLIMIT_AS, &cap);
        cap.rlim_cur = static_cast<rlim_t>(vm_size()) + 100 * kMiB;
        const bool ok = spacer && setrlimit(RLIMIT_AS, &cap) == 0 && rk::acquire_block(300 * kMiB);
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// While calls run, blocks stay up to the budget; when the last call ends, one
// remains; cleanup() gives that back too.
TEST_F(BlockCache, BudgetWhileBusyThenOneThenNone) {
    std::vector<void*> blocks;
    const size_t size = 200 * kMiB;  // mapped, never touched
    {
        Busy call;
        for (int i = 0; i < 7; ++i) blocks.push_back(rk::acquire_block(size));
        for (void* p : blocks) rk::release_block(p, size);
        EXPECT_EQ(rk::block_cache_blocks(), rk::kBlockCacheBudget / size);
        EXPECT_EQ(rk::acquire_block(size), blocks.back());
        rk::release_block(blocks.back(), size);
    }
    EXPECT_EQ(rk::block_cache_blocks(), 1u);
    cleanup();
    EXPECT_EQ(rk::block_cache_bytes(), 0u);
}

// In a child of fork() only the forking thread's own call goes on: another
// thread's call that ran at the fork does not hold the child at the budget.
TEST_F(BlockCache, AForkedChildCountsOnlyItsOwnCall) {
    std::binary_semaphore in_call(0), may_end(0);
    std::thread other([&] {
        Busy call;
        in_call.release();
        may_end.acquire();
    });
    in_call.acquire();
    std::optional<Busy> own(std::in_place);
    const pid_t pid = ::fork();
    if (pid == 0) {
        void* blocks[3];  // the middle one keeps the others from being joined
        for (void*& p : blocks) p = rk::acquire_block(2 * kMiB);
        rk::release_block(blocks[0], 2 * kMiB);
        rk::release_block(blocks[2], 2 * kMiB);
        const bool kept = rk::block_cache_blocks() == 2;  // its own call still runs
        own.reset();
        ::_exit(kept && rk::block_cache_blocks() == 1 ? 0 : 1);
    }
    own.reset();
    may_end.release();
    other.join();
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Threads taking and giving back blocks of a few sizes at once never share a
// block: each finds its own pattern intact.
TEST_F(BlockCache, ConcurrentUseNeverSharesABlock) {
    std::vector<std::thread> threads;
    std::vector<int> damaged(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &damaged] {
            Busy call;
            for (int i = 0; i < 40; ++i) {
                const size_t bytes = (2 + (i + t) % 3) * kMiB;
                auto* p = static_cast<uint8_t*>(rk::acquire_block(bytes));
                if (!p) continue;
                std::memset(p, t + 1, bytes);
                std::this_thread::yield();
                damaged[t] += p[0] != t + 1 || p[bytes - 1] != t + 1;
                rk::release_block(p, bytes);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(damaged, std::vector<int>(4, 0));
    EXPECT_LE(rk::block_cache_blocks(), 1u);
}

// A generator's result is the same on a fresh block as on one that held
// another image (NaN everywhere): reuse never shows through.
TEST_F(BlockCache, ResultsDoNotDependOnReusedMemory) {
    const uint32_t w = 512, h = 300;  // 2.3 MiB pixel blocks
    Img photo = image_of(w, h, [](uint32_t x, uint32_t y) {
        return Px{float((x * 7 + y * 3) % 17) / 16, float(x % 5) / 4, float(y % 9) / 8, 1};
    });
    auto maps = [&] {
        Img height(calc_heightmap_from_photo(photo.get(), 7,
                                             HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH, 0.5f, 0,
                                             1, 5, 0.05f, 1, 1, 1, 3, 0));
        return std::pair{std::move(height),
                         Img(calc_normalmap_from_heightmap(height.get(), 0, 0, 2, 1, 5, 0))};
    };
    const auto fresh = maps();
    EXPECT_TRUE(aligned(imgbuf_buf(fresh.first.get()), rk::kLargeBlockBytes));
    {
        Busy call;  // several garbage blocks stay cached
        for (int i = 0; i < 3; ++i) filled(w, h, {NAN, NAN, NAN, NAN});
        const auto reused = maps();
        EXPECT_TRUE(same_image(fresh.first.get(), reused.first.get()));
        EXPECT_TRUE(same_image(fresh.second.get(), reused.second.get()));
    }
}

}  // namespace
