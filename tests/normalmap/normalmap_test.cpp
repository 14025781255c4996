#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "imgbuf/imgbuf.h"
#include "image_helpers.h"

namespace {

struct Args {
    int32_t inv_x = 0, inv_y = 0;
    uint32_t strength = 1, centre = 1, blur_size = 0, blur_kind = 0;
};
void PrintTo(const Args& a, std::ostream* os) {
    *os << "inv" << a.inv_x << "_" << a.inv_y << "_s" << a.strength << "_c" << a.centre << "_z"
        << a.blur_size << "_k" << a.blur_kind;
}

Img run(const imgbuf* hm, Args a) {
    return Img(calc_normalmap_from_heightmap(hm, a.inv_x, a.inv_y, a.strength, a.centre,
                                             a.blur_size, a.blur_kind));
}

class NormalMap : public ::testing::Test {
  protected:
    void SetUp() override { init(); }
    void TearDown() override { cleanup(); }
};

struct Fingerprinted {
    Args args;
    uint64_t want[3];  // for 37 x 23, 300 x 4 (two strips of the gradient) and 2 x 9
};
void PrintTo(const Fingerprinted& f, std::ostream* os) {
    PrintTo(f.args, os);
}
class NormalMapResults : public NormalMap, public ::testing::WithParamInterface<Fingerprinted> {};

// Unblurred maps are exact IEEE arithmetic in a fixed order, so their bits are
// pinned; the source is never written.
TEST_P(NormalMapResults, BitIdenticalAndSourceUntouched) {
    int i = 0;
    for (auto [w, h] : {std::pair{37u, 23u}, std::pair{300u, 4u}, std::pair{2u, 9u}}) {
        Img hm = noise(w, h, w + h);
        Img got = run(hm.get(), GetParam().args);
        ASSERT_TRUE(got);
        EXPECT_EQ(fingerprint(got.get()), GetParam().want[i++]) << w << "x" << h;
        EXPECT_EQ(fingerprint(hm.get()), fingerprint(noise(w, h, w + h).get()));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, NormalMapResults,
                         ::testing::Values(Fingerprinted{Args{}, {1519024213578082943u, 881827898477754756u, 17855078773132715838u}},
                                           Fingerprinted{Args{1, 0, 3, 0}, {1195327025519730402u, 4368309983767461973u, 17855078773132715838u}},
                                           Fingerprinted{Args{0, -2, 10, 7}, {5154841823744814622u, 16363309266844556059u, 17855078773132715838u}},
                                           Fingerprinted{Args{1, 1, 5, 10}, {7309172108594607387u, 570865460704297558u, 17855078773132715838u}}));

// Constant heights give the flat normal: exactly with the 1-2-1 weights (centre
// 1) on a height whose multiples are exact, within the rounding of the fixed
// summation order otherwise. After a blur the renormalisation counts alpha in the
// length, so it becomes (0.5, 0.5, 0.8535534, 1), which the output contract fixes.
TEST_F(NormalMap, ConstantHeightsGiveTheFlatNormal) {
    Img hm = filled(11, 7, {0.75f, 0.1f, 0.2f, 0.3f});
    for (Args a : {Args{}, Args{1, 1, 10, 1, 2}, Args{1, 0, 0, 7, 1, 1}, Args{0, 1, 6, 10, 0, 2}}) {
        Img out = run(hm.get(), a);
        for (uint32_t y = 0; y < 7; ++y)
            for (uint32_t x = 0; x < 11; ++x) {
                const Px p = get_px(out.get(), x, y);
                if (a.centre == 1) {
                    ASSERT_EQ(p, (Px{0.5f, 0.5f, 1, 1}));
                }
                for (int c = 0; c < 4; ++c) ASSERT_NEAR(p[c], c < 2 ? 0.5f : 1.0f, 1e-5f);
            }
    }
    const Px want{0.5f, 0.5f, 0.8535534f, 1.0f};
    for (uint32_t size : {3u, 4u, 9u, 254u, 255u, 4294967295u})
        for (uint32_t kind : {0u, 1u, 2u, 7u}) {
            Img out = run(hm.get(), {0, 0, 4, 1, size, kind});
            for (Px p : {get_px(out.get(), 0, 0), get_px(out.get(), 5, 3), get_px(out.get(), 10, 6)})
                for (int c = 0; c < 4; ++c)
                    ASSERT_LE(std::abs(std::bit_cast<int32_t>(p[c]) - std::bit_cast<int32_t>(want[c])), 4)
                        << "size " << size << " kind " << kind;
        }
}

struct Pair {
    Args a, b;
    bool same;
};
void PrintTo(const Pair& p, std::ostream* os) {
    PrintTo(p.a, os);
    *os << (p.same ? "_same_as_" : "_differs_from_");
    PrintTo(p.b, os);
}
class NormalMapArguments : public NormalMap, public ::testing::WithParamInterface<Pair> {};

TEST_P(NormalMapArguments, MapToTheSameOperation) {
    Img hm = noise(13, 11, 77);
    EXPECT_EQ(fingerprint(run(hm.get(), GetParam().a).get()) ==
                  fingerprint(run(hm.get(), GetParam().b).get()),
              GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(Table, NormalMapArguments,
                         ::testing::Values(Pair{{0, 0, 0}, {0, 0, 1}, true},
                                           Pair{{0, 0, 11}, {0, 0, 10}, true},
                                           Pair{{0, 0, 4294967295u}, {0, 0, 10}, true},
                                           Pair{{0, 0, 10}, {0, 0, 9}, false},
                                           Pair{{-5, 7, 2}, {1, 1, 2}, true},
                                           Pair{{0, 0, 1, 1, 4}, {0, 0, 1, 1, 3}, true},
                                           Pair{{0, 0, 1, 1, 2}, {0, 0, 1, 1, 0}, true},
                                           Pair{{0, 0, 1, 1, 5}, {0, 0, 1, 1, 3}, false},
                                           Pair{{0, 0, 1, 1, 254}, {0, 0, 1, 1, 253}, true},
                                           Pair{{0, 0, 1, 1, 1001, 2}, {0, 0, 1, 1, 253, 2}, true},
                                           Pair{{0, 0, 1, 1, 5, 3}, {0, 0, 1, 1, 5, 0}, true},
                                           Pair{{0, 0, 1, 1, 5, 7}, {0, 0, 1, 1, 5, 0}, true},
                                           Pair{{0, 0, 1, 1, 5, 1}, {0, 0, 1, 1, 5, 0}, false},
                                           Pair{{0, 0, 1, 1, 5, 2}, {0, 0, 1, 1, 5, 1}, false}));

// Heights rising 0.1 per column: gx = -(k + 2) * 0.2 with k = (2c + 16) / 9.
TEST_F(NormalMap, CentreWeight) {
    Img hm = filled(5, 5, {0, 0, 0, 1});
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 5; ++x) set_px(hm.get(), x, y, {0.1f * x, 0, 0, 1});
    for (uint32_t c : {0u, 1u, 7u, 10u}) {
        const double k = (2.0 * c + 16.0) / 9.0, gx = -(k + 2.0) * 0.2;
        const double len = std::sqrt(gx * gx + 0.25);
        Img out = run(hm.get(), {0, 0, 1, c});
        EXPECT_NEAR(get_px(out.get(), 2, 2)[0], gx / len * 0.5 + 0.5, 1e-6) << c;
        EXPECT_NEAR(get_px(out.get(), 2, 2)[2], 0.5 / len, 1e-6) << c;
        Img inverted = run(hm.get(), {1, 0, 1, c});
        EXPECT_EQ(get_px(inverted.get(), 2, 2)[0], 1.0f - get_px(out.get(), 2, 2)[0]);
        EXPECT_EQ(get_px(inverted.get(), 0, 2), (Px{0.5f, 0.5f, 1, 1}));
    }
}

TEST_F(NormalMap, NullAndEmptySources) {
    EXPECT_EQ(calc_normalmap_from_heightmap(nullptr, 0, 0, 1, 1, 5, 0), nullptr);
    for (auto [w, h] : {std::pair{0u, 5u}, std::pair{5u, 0u}, std::pair{0u, 0u}}) {
        Img hm = make_img(w, h);
        Img out = run(hm.get(), {1, 1, 3, 1, 9, 0});
        ASSERT_TRUE(out);
        EXPECT_EQ(imgbuf_w(out.get()), w);
        EXPECT_EQ(imgbuf_h(out.get()), h);
    }
}

// A record claiming 2^32 bytes of pixels: no result can be made, and the small
// block behind it must not be read.
TEST_F(NormalMap, ResultThatCannotBeAllocated) {
    std::vector<float> tiny(16, 0.5f);
    imgbuf huge{rk::kImgbufHeadGuard, 16384, 16384, tiny.data(), rk::kImgbufTailGuard};
    EXPECT_EQ(calc_normalmap_from_heightmap(&huge, 0, 0, 1, 1, 0, 0), nullptr);
}

}  // namespace
