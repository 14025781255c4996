#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "image_helpers.h"
#include "imgbuf/imgbuf.h"
#include "normalmap/normal_ops.h"

namespace {

struct Args {
    int32_t inv_x = 0, inv_y = 0;
    uint32_t strength = 1, centre = 1, blur_size = 0, blur_kind = 0;
};

Img run(const imgbuf* hm, Args a) {
    return Img(calc_normalmap_from_heightmap(hm, a.inv_x, a.inv_y, a.strength, a.centre,
                                             a.blur_size, a.blur_kind));
}

// Unblurred maps are exact IEEE arithmetic in a fixed order, so their bits are
// pinned, for 37 x 23, 300 x 4 (two strips of the gradient) and 2 x 9; the
// source is never written.
TEST(NormalMap, UnblurredBitsArePinned) {
    const struct {
        Args args;
        uint64_t want[3];
    } table[] = {
        {Args{}, {1519024213578082943u, 881827898477754756u, 17855078773132715838u}},
        {Args{1, 0, 3, 0}, {1195327025519730402u, 4368309983767461973u, 17855078773132715838u}},
        {Args{0, -2, 10, 7}, {5154841823744814622u, 16363309266844556059u, 17855078773132715838u}},
        {Args{1, 1, 5, 10}, {7309172108594607387u, 570865460704297558u, 17855078773132715838u}},
    };
    for (const auto& c : table) {
        int i = 0;
        for (auto [w, h] : {std::pair{37u, 23u}, {300u, 4u}, {2u, 9u}}) {
            Img hm = noise(w, h, w + h);
            Img got = run(hm.get(), c.args);
            ASSERT_TRUE(got);
            EXPECT_EQ(fingerprint(got.get()), c.want[i++])
                << w << "x" << h << ", case " << &c - table;
            EXPECT_EQ(fingerprint(hm.get()), fingerprint(noise(w, h, w + h).get()));
        }
    }
}

// Heights rising 0.1 per column (or row) times the strength s, in red only: at
// a pixel inside, the slope is g = -(k + 2) * 0.2 * s with k = (2c + 16) / 9 for
// the centre tap c, and the normal (g, 0, 0.5) / len (len its length) maps to
// (g / len * 0.5 + 0.5, 0.5, 0.5 / len); an inverted axis takes 1 - its value.
TEST(NormalMap, RampsGiveTheSlopeByHand) {
    const struct {
        bool along_x;
        uint32_t strength, centre;
    } table[] = {{true, 1, 0},  {true, 1, 1},  {true, 1, 7}, {true, 1, 10},
                 {false, 1, 1}, {true, 10, 1}, {false, 3, 4}};
    for (const auto& c : table) {
        Img hm = image_of(5, 5, [&](uint32_t x, uint32_t y) {
            return Px{0.1f * (c.along_x ? x : y), 9, -3, 0};
        });
        const double k = (2.0 * c.centre + 16.0) / 9.0, g = -(k + 2.0) * 0.2 * c.strength;
        const double len = std::sqrt(g * g + 0.25), slope = g / len * 0.5 + 0.5;
        const double plain[2] = {c.along_x ? slope : 0.5, c.along_x ? 0.5 : slope};
        for (int32_t inv = 0; inv < 4; ++inv) {
            const Px p =
                get_px(run(hm.get(), {inv & 1, inv >> 1, c.strength, c.centre}).get(), 2, 2);
            EXPECT_NEAR(p[0], (inv & 1) ? 1.0 - plain[0] : plain[0], 1e-6) << &c - table << inv;
            EXPECT_NEAR(p[1], (inv & 2) ? 1.0 - plain[1] : plain[1], 1e-6) << &c - table << inv;
            EXPECT_NEAR(p[2], 0.5 / len, 1e-6) << &c - table;
            EXPECT_EQ(p[3], 1.0f);
        }
    }
}

// Constant heights give the flat normal, the border included (images of one or
// two pixels across are all border): exactly with the 1-2-1 weights (centre
// 1) on a height whose multiples are exact, within the rounding of the fixed
// summation order otherwise. After a blur the renormalisation counts alpha in the
// length, so it becomes (0.5, 0.5, 0.8535534, 1), which the output contract fixes.
TEST(NormalMap, ConstantHeightsGiveTheFlatNormal) {
    const Args unblurred[] = {{}, {1, 1, 10, 1, 2}, {1, 0, 0, 7, 1, 1}, {0, 1, 6, 10, 0, 2}};
    for (auto [w, h] : {std::pair{11u, 7u}, {1u, 1u}, {1u, 4u}, {5u, 1u}, {2u, 5u}}) {
        Img hm = filled(w, h, {0.75f, 0.1f, 0.2f, 0.3f});
        for (const Args& a : unblurred) {
            Img out = run(hm.get(), a);
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const Px p = get_px(out.get(), x, y);
                    ASSERT_TRUE(a.centre != 1 || p == (Px{0.5f, 0.5f, 1, 1})) << w << "x" << h;
                    for (int c = 0; c < 4; ++c) ASSERT_NEAR(p[c], c < 2 ? 0.5f : 1.0f, 1e-5f);
                }
        }
    }
    Img hm = filled(11, 7, {0.75f, 0.1f, 0.2f, 0.3f});
    const Px want{0.5f, 0.5f, 0.8535534f, 1.0f};
    for (uint32_t size : {3u, 4u, 9u, 254u, 255u, 4294967295u})
        for (uint32_t kind : {0u, 1u, 2u, 7u}) {
            Img out = run(hm.get(), {0, 0, 4, 1, size, kind});
            for (Px p :
                 {get_px(out.get(), 0, 0), get_px(out.get(), 5, 3), get_px(out.get(), 10, 6)})
                for (int c = 0; c < 4; ++c)
                    ASSERT_LE(
                        std::abs(std::bit_cast<int32_t>(p[c]) - std::bit_cast<int32_t>(want[c])), 4)
                        << "size " << size << " kind " << kind;
        }
}

// Pairs of arguments that must (or must not) give the same map: strengths bound
// to 1..10, any non-zero inversion is one, even blur sizes round down, sizes
// below 3 blur nothing and sizes cap at 253, unknown kinds are Gaussian.
TEST(NormalMap, ArgumentsMapToTheSameOperation) {
    const struct {
        Args a, b;
        bool same;
    } table[] = {
        {{0, 0, 0}, {0, 0, 1}, true},
        {{0, 0, 11}, {0, 0, 10}, true},
        {{0, 0, 4294967295u}, {0, 0, 10}, true},
        {{0, 0, 10}, {0, 0, 9}, false},
        {{-5, 7, 2}, {1, 1, 2}, true},
        {{0, 0, 1, 1, 4}, {0, 0, 1, 1, 3}, true},
        {{0, 0, 1, 1, 2}, {0, 0, 1, 1, 0}, true},
        {{0, 0, 1, 1, 5}, {0, 0, 1, 1, 3}, false},
        {{0, 0, 1, 1, 254}, {0, 0, 1, 1, 253}, true},
        {{0, 0, 1, 1, 1001, 2}, {0, 0, 1, 1, 253, 2}, true},
        {{0, 0, 1, 1, 5, 3}, {0, 0, 1, 1, 5, 0}, true},
        {{0, 0, 1, 1, 5, 7}, {0, 0, 1, 1, 5, 0}, true},
        {{0, 0, 1, 1, 5, 1}, {0, 0, 1, 1, 5, 0}, false},
        {{0, 0, 1, 1, 5, 2}, {0, 0, 1, 1, 5, 1}, false},
    };
    Img hm = noise(13, 11, 77);
    for (const auto& p : table) {
        EXPECT_EQ(same_image(run(hm.get(), p.a).get(), run(hm.get(), p.b).get()), p.same)
            << "pair " << &p - table;
    }
}

TEST(NormalMap, NullAndEmptySources) {
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
TEST(NormalMap, ResultThatCannotBeAllocated) {
    std::vector<float> tiny(16, 0.5f);
    imgbuf huge{rk::kImgbufHeadGuard, 16384, 16384, tiny.data(), rk::kImgbufTailGuard};
    EXPECT_EQ(calc_normalmap_from_heightmap(&huge, 0, 0, 1, 1, 0, 0), nullptr);
}

// The one step whose bits depend on the processor: across every blurred normal
// (alpha 1) of a 64-level grid, and one more pixel renormalised alone, each
// component lies within 2^-23 of the result computed with the exactly rounded
// 1/sqrt, as the README promises.
// The operator writing into its own source gives the bits it gives into a
// second image, on every edge mode and thread count (bands of rows that write
// the rows their neighbours read).
TEST(NormalFromHeight, InPlaceGivesTheSameBits) {
    for (auto [w, h] : {std::pair{37u, 40u}, {300u, 70u}, {5u, 3u}, {2u, 7u}, {1u, 1u}, {9u, 2u}}) {
        Img heights = image_of(w, h, [](uint32_t x, uint32_t y) {
            const float v = std::sin(0.7f * float(x)) * std::cos(0.3f * float(y * y % 11));
            return Px{v, 0.25f, 0.5f, 1};
        });
        for (rk::EdgeMode edge : {rk::EDGE_CLAMP, rk::EDGE_WRAP}) {
            Img apart = filled(w, h, {0, 0, 0, 0});
            ASSERT_TRUE(rk::normal_from_height(apart.get(), heights.get(), 3.0f, 2.0f, edge));
            for (uint32_t threads : {1u, 2u, 3u}) {
                Img same = filled(w, h, {0, 0, 0, 0});
                copy_imgbuf_content(same.get(), heights.get());
                const bool done = on_threads(threads, [&] {
                    return rk::normal_from_height(same.get(), same.get(), 3.0f, 2.0f, edge);
                });
                ASSERT_TRUE(done);
                // The clamped operator leaves the outermost pixels as they were.
                if (edge == rk::EDGE_CLAMP) {
                    for (uint32_t y = 0; y < h; ++y)
                        for (uint32_t x = 0; x < w; ++x)
                            if (x == 0 || y == 0 || x + 1 == w || y + 1 == h)
                                set_px(apart.get(), x, y, get_px(same.get(), x, y));
                }
                EXPECT_TRUE(same_image(apart.get(), same.get()))
                    << w << " x " << h << " edge " << edge << " threads " << threads;
            }
        }
    }
}

TEST(Renormalise, WithinTwoToTheMinus23OfTheExactRoot) {
    const auto level = [](uint32_t i, int c) { return float(i >> (6 * c) & 63) / 63.0f; };
    constexpr uint32_t count = (1u << 18) + 1;
    Img img = make_img(count, 1);
    for (uint32_t i = 0; i < count; ++i)
        set_px(img.get(), i, 0, {level(i, 0), level(i, 1), level(i, 2), 1});
    rk::renormalise_normals(img.get());
    for (uint32_t i = 0; i < count; ++i) {
        float n[4] = {1, 1, 1, 1};
        for (int c = 0; c < 3; ++c) n[c] = (level(i, c) - 0.5f) * 2.0f;
        const float s = (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
        const auto inv = static_cast<float>(1.0 / std::sqrt(double{s}));
        const Px got = get_px(img.get(), i, 0);
        for (int c = 0; c < 3; ++c)
            ASSERT_NEAR(got[c], ((inv * n[c]) * 0.5f) + 0.5f, 0x1p-23f) << i;
    }
}

}  // namespace
