// The Fourier grid at lengths kissfft's own radices do not take fast.
#include "filter/fourier_grid.h"
#include "reliefkit.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <fstream>
#include <new>
#include <numbers>
#include <utility>
#include <vector>

namespace {

// Grid sizes whose rows (width / 2), columns or both have a prime factor
// above 97, and one without: an impulse's spectrum is known at every cell,
// and inverse(forward(g)) is g times width * height.
TEST(FourierGrid, LargePrimeLengthsAreExact) {
    const std::pair<uint32_t, uint32_t> sizes[] = {{12, 10},  {202, 6},   {2018, 3},
                                                   {4, 1009}, {422, 202}, {2, 2018}};
    for (auto [w, h] : sizes) {
        rk::FourierGrid g(w, h);
        ASSERT_TRUE(g.valid());
        const uint32_t x0 = 3 % w, y0 = 2 % h;
        g.real_row(y0)[x0] = 1.0f;
        g.forward();
        double worst = 0.0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < g.columns(); ++x) {
                const double turns = double(x * x0 % w) / w + double(y * y0 % h) / h;
                const auto want = std::polar(1.0, -2.0 * std::numbers::pi * turns);
                worst = std::max(worst, std::abs(std::complex<double>(g.row(y)[x]) - want));
            }
        }
        EXPECT_LT(worst, 5e-6) << w << "x" << h;
        std::vector<float> in;
        uint32_t s = w * 7919 + h;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                s = s * 1664525u + 1013904223u;
                in.push_back(g.real_row(y)[x] = static_cast<float>(s >> 8) / 16777216.0f - 0.5f);
            }
        }
        g.forward();
        g.inverse();
        worst = 0.0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                worst = std::max(
                    worst, std::abs(g.real_row(y)[x] / (double(w) * h) - in[size_t{y} * w + x]));
            }
        }
        EXPECT_LT(worst, 2e-6) << w << "x" << h;
    }
}

// 2 x 2^20: the cells (16 MiB) and the column plans (8 MiB each) fit under
// the cap, the scratch (136 MiB) does not, and the plans made before it go
// with the throw. In a child; not under the address sanitizer, as its shadow
// memory breaks an address space cap.
[[noreturn]] void grid_beyond_address_space() {
    set_thread_count(1);
    const auto in_use = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const size_t before = in_use();
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlimit cap{pages * 4096 + (rlim_t{64} << 20), pages * 4096 + (rlim_t{64} << 20)};
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(2);
    try {
        rk::FourierGrid g(2, 1u << 20);
        std::_Exit(3);
    } catch (const std::bad_alloc&) {
    }
    std::_Exit(in_use() < before + (size_t{1} << 20) ? 0 : 1);
}

TEST(FourierGridDeathTest, PlansGoWhenTheScratchCannotBeHad) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "address space caps break the sanitizer's shadow memory";
    EXPECT_EXIT(grid_beyond_address_space(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
