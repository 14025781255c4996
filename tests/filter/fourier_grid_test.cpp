// The Fourier grid at lengths kissfft's own radices do not take fast.
#include "filter/fourier_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
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

}  // namespace
