#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "heightmap_helpers.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Every mode with each of its eight inversion variants, on values within and
// outside 0..1 and a NaN in each channel in turn: one fingerprint per mode,
// folded over the variants. The hand-computed examples below say why.
TEST(Conversion, EveryModeAndInversionIsPinned) {
    const uint64_t want[8] = {16403697045764941729u, 5747307022718662741u,  2876021360254662528u,
                              6582892615055911253u,  18418068357623953068u, 7620065670264410736u,
                              15152982319926925302u, 1460822345642349734u};
    for (uint32_t mode = 0; mode < 8; ++mode) {
        uint64_t folded = 0;
        for (uint32_t inversions = 0; inversions < 8; ++inversions) {
            const Img raw = noise(7, 3, mode * 8 + inversions);
            const Img src = image_of(7, 3, [&](uint32_t x, uint32_t y) {
                Px p = get_px(raw.get(), x, y);
                for (float& c : p) c = c * 2.0f - 0.5f;
                if (x < 4) p[x] = kNaN;
                return p;
            });
            Img out = heightmap(src.get(), {.mode = mode, .flags = inversions << 1});
            folded = folded * 1099511628211u + fingerprint(out.get());
        }
        EXPECT_EQ(folded, want[mode]) << "mode " << mode;
    }
}

TEST(Conversion, HandComputedExamples) {
    const Px photo{0.2f, 0.6f, 0.9f, 0.5f};
    const struct {
        Px in;
        uint32_t mode, flags;
        Px out;
    } table[] = {
        {photo, 0, 0, {0.2f, 0.2f, 0.2f, 0.5f}},
        {photo, 0, HM_INVERT_RED, {0.8f, 0.8f, 0.8f, 0.5f}},
        {photo, 3, 0, {0.4f, 0.4f, 0.4f, 0.5f}},
        {photo, 3, HM_INVERT_GREEN, {0.3f, 0.3f, 0.3f, 0.5f}},
        {photo, 7, 0, {0.5146f, 0.5146f, 0.5146f, 1.0f}},
        {photo, 1, HM_INVERT_RED | HM_INVERT_BLUE, {0.6f, 0.6f, 0.6f, 0.5f}},
        {photo, 4, HM_INVERT_GREEN, {0.55f, 0.55f, 0.55f, 0.5f}},
        {{0.1f, 0.2f, 0.4f, 0.25f}, 5, HM_INVERT_GREEN | HM_INVERT_BLUE, {0.7f, 0.7f, 0.7f, 0.75f}},
        {{1.5f, 0, 0, 1}, 0, HM_INVERT_RED, {-0.5f, -0.5f, -0.5f, 1}},
        {{1.5f, 0.9f, 0, 1}, 3, 0, {1, 1, 1, 1}},
        {{-0.5f, 0.1f, 0, 1}, 3, 0, {0, 0, 0, 1}},
        {{kNaN, 0.2f, 0, 1}, 3, 0, {1, 1, 1, 1}},
        {{kNaN, 0, 0, 1}, 7, 0, {0.299f, 0.299f, 0.299f, 1}},
        {{kNaN, 0, 0, 1}, 0, 0, {kNaN, kNaN, kNaN, 1}},
    };
    for (const auto& e : table) {
        Img src = filled(1, 1, e.in);
        const Px got = get_px(heightmap(src.get(), {.mode = e.mode, .flags = e.flags}).get(), 0, 0);
        for (int c = 0; c < 4; ++c) {
            if (std::isnan(e.out[c]))
                EXPECT_TRUE(std::isnan(got[c])) << "example " << &e - table;
            else
                EXPECT_FLOAT_EQ(got[c], e.out[c]) << "example " << &e - table << ", channel " << c;
        }
    }
}

}  // namespace
