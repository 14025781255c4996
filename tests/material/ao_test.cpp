#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <tuple>
#include <vector>

#include "image_helpers.h"
#include "material/ao.h"

using namespace rk;

namespace {

using Surface = std::function<double(int, int)>;

Img heights_of(uint32_t w, uint32_t h, const Surface& f) {
    return image_of(w, h, [&](uint32_t x, uint32_t y) {
        const float v = static_cast<float>(f(int(x), int(y)));
        return Px{v, v, v, 1.0f};
    });
}

// The definition, marched in double precision along every ray in steps of
// 0.02 px up to exactly R; heights between pixel centres bilinear, beyond the
// edges clamped or wrapped.
std::vector<double> marched(const imgbuf* img, const AoSettings& s) {
    const int w = int(imgbuf_w(img)), h = int(imgbuf_h(img)), m = int(s.radius) + 2;
    std::vector<double> pad(size_t(w + 2 * m) * (h + 2 * m));
    for (int y = -m; y < h + m; ++y) {
        for (int x = -m; x < w + m; ++x) {
            const int u = s.edge == EDGE_WRAP ? (x % w + w) % w : std::clamp(x, 0, w - 1);
            const int v = s.edge == EDGE_WRAP ? (y % h + h) % h : std::clamp(y, 0, h - 1);
            pad[size_t(y + m) * (w + 2 * m) + x + m] = double(get_px(img, u, v)[0]) * s.depth;
        }
    }
    auto at = [&](int x, int y) { return pad[size_t(y + m) * (w + 2 * m) + x + m]; };
    auto bilinear = [&](double x, double y) {
        const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
        const double a = x - x0, b = y - y0;
        return (1 - b) * ((1 - a) * at(x0, y0) + a * at(x0 + 1, y0)) +
               b * ((1 - a) * at(x0, y0 + 1) + a * at(x0 + 1, y0 + 1));
    };
    std::vector<double> ao;
    const int steps = int(std::ceil(s.radius / 0.02));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double sum = 0;
            for (uint32_t k = 0; k < s.directions; ++k) {
                const double phi = 2 * M_PI * k / s.directions;
                double best = 0;
                for (int i = 1; i <= steps; ++i) {
                    const double t = std::min<double>(s.radius, i * 0.02);
                    best = std::max(
                        best,
                        (bilinear(x + t * std::cos(phi), y + t * std::sin(phi)) - at(x, y)) / t);
                }
                sum += best * best / (1 + best * best);
            }
            ao.push_back(1 - sum / s.directions);
        }
    }
    return ao;
}

double largest_error(const imgbuf* got, const std::vector<double>& want) {
    double e = 0;
    for (uint32_t y = 0; y < imgbuf_h(got); ++y)
        for (uint32_t x = 0; x < imgbuf_w(got); ++x)
            e = std::max(e, std::fabs(get_px(got, x, y)[0] - want[y * imgbuf_w(got) + x]));
    return e;
}

// Per-pixel noise in [0, 1), the same on every platform.
double grain(int x, int y) {
    uint32_t v = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    return double((v ^ (v >> 15)) % 1000) / 1000;
}

// Sines down to 2.5 px.
double waves(int x, int y) {
    double v = 0;
    for (int i = 1; i <= 6; ++i) v += std::sin(0.07 * i * i * x + i * 1.3 + 0.11 * i * y) / i;
    return 0.3 * v;
}

// f with one pixel raised by `by`.
Surface spiked(Surface f, int sx, int sy, double by) {
    return [=](int x, int y) { return f(x, y) + (x == sx && y == sy ? by : 0.0); };
}

}  // namespace

// Surfaces whose horizons are known (a cliff, a round pit, a sine grating)
// and rough ones, against the marched definition: within 0.02 everywhere, the
// edge pixels included.
TEST(Occlusion, FollowsTheDefinitionWithin002) {
    const struct {
        const char* name;
        Surface f;
        float depth, radius;
        uint32_t directions;
        EdgeMode edge;
        uint32_t w = 40, h = 38;
    } table[] = {
        {"cliff", [](int x, int) { return x >= 21 ? 1.0 : 0.0; }, 16, 24, 16, EDGE_CLAMP},
        {"slanted cliff", [](int x, int y) { return x + 0.4 * y >= 25 ? 1.0 : 0.0; }, 16, 24, 16,
         EDGE_CLAMP},
        {"pit", [](int x, int y) { return std::hypot(x - 19.7, y - 20.2) < 9 ? 0.0 : 1.0; }, 16, 24,
         16, EDGE_CLAMP},
        {"sine", [](int x, int y) { return 0.5 + 0.5 * std::sin(0.3 * x + 0.17 * y); }, 16, 24, 16,
         EDGE_CLAMP},
        {"waves", waves, 16, 24, 16, EDGE_WRAP},
        {"grain", [](int x, int y) { return 0.3 * grain(x, y); }, 16, 24, 16, EDGE_CLAMP},
        {"grain, odd count", [](int x, int y) { return 0.3 * grain(x, y); }, 8, 10, 7, EDGE_WRAP},
        {"steep grain", [](int x, int y) { return 0.3 * grain(x, y); }, 24, 12, 16, EDGE_CLAMP},
        // Smooth enough for the lines (no step, second difference or twist
        // of more than 4 px).
        {"low grain", [](int x, int y) { return 0.3 * grain(x, y); }, 6, 24, 16, EDGE_CLAMP},
        {"low waves", waves, 3, 24, 16, EDGE_WRAP},
        {"smooth pit",
         [](int x, int y) { return 1 - std::exp(-(std::pow(x - 19.7, 2) + std::pow(y - 18.2, 2)) / 40); },
         16, 24, 16, EDGE_CLAMP},
        // Sharper than the lines can follow: the side of a cliff 64 px high
        // just beyond the radius, shapes narrower than the gap between two
        // lines can hide, the bulges of cells far from the pixel.
        {"tall cliff with ends", [](int x, int y) { return x >= 31 && y > 5 ? 1.0 : 0.0; }, 64,
         24, 16, EDGE_CLAMP},
        {"cylinder", [](int x, int y) { return std::hypot(x - 19.7, y - 17.2) < 6 ? 1.0 : 0.0; },
         16, 24, 16, EDGE_CLAMP},
        {"spikes", [](int x, int y) { return x % 7 == 3 && y % 5 == 2 ? 1.0 : 0.0; }, 16, 24, 16,
         EDGE_WRAP},
        {"blocks", [](int x, int y) { return grain(x / 5 + 100, y / 5 + 200); }, 16, 24, 9,
         EDGE_CLAMP},
        // Fewer directions weigh each one's miss more: a pyramid's side
        // seen from 26 px, a cliff below the sharpness bound.
        {"pyramid, eight directions",
         [](int x, int y) {
             const double d = std::max(std::fabs(x - 17.38), std::fabs(y - 33.45));
             return 0.843 * std::max(0.0, 1 - d / 4.04);
         },
         64, 39.42f, 8, EDGE_WRAP, 43, 41},
        {"low cliff, six directions", [](int x, int y) { return x + 0.3 * y >= 25 ? 1.0 : 0.0; },
         3.5, 24, 6, EDGE_CLAMP},
    };
    for (const auto& c : table) {
        Img img = heights_of(c.w, c.h, c.f);
        const AoSettings s{c.depth, c.radius, c.directions, c.edge};
        ImgbufPtr got = ao_map(img.get(), s);
        ASSERT_TRUE(got);
        EXPECT_LE(largest_error(got.get(), marched(img.get(), s)), 0.02) << c.name;
    }
}

// Smooth heights with one sharp feature: the pixels near it follow their own
// rays, the others the lines (on each of these the lines alone miss the
// definition by 0.027 to 0.065).
double low_waves(int x, int y) { return 0.1 * waves(x, y); }
const struct SharpCase {
    const char* name;
    Surface smooth, f;
    int x0, y0, x1, y1;  // the feature's extent
    float depth;
    EdgeMode edge;
} kSharpCases[] = {
    {"wall", low_waves, [](int x, int y) { return low_waves(x, y) + (x == 33 && y > 22 && y < 36); },
     33, 23, 33, 35, 16, EDGE_CLAMP},
    {"block", low_waves,
     [](int x, int y) { return low_waves(x, y) + (x >= 31 && x < 41 && y > 20 && y < 40); }, 31, 21,
     40, 39, 32, EDGE_WRAP},
    {"narrow cylinder", low_waves,
     [](int x, int y) { return low_waves(x, y) + (std::hypot(x - 30.6, y - 28.3) < 2.5); }, 28, 26,
     33, 31, 16, EDGE_WRAP},
    {"spikes", [](int, int) { return 0.0; },
     [](int x, int y) { return x > 22 && x < 40 && y > 20 && y < 38 && x % 7 == 3 && y % 5 == 2 ? 1.0 : 0.0; },
     24, 22, 38, 37, 16, EDGE_CLAMP},
};

TEST(Occlusion, FollowsTheDefinitionBesideOneSharpFeature) {
    for (const SharpCase& c : kSharpCases) {
        Img img = heights_of(64, 60, c.f);
        const AoSettings s{c.depth, 12, 16, c.edge};
        ImgbufPtr got = ao_map(img.get(), s);
        ASSERT_TRUE(got);
        EXPECT_LE(largest_error(got.get(), marched(img.get(), s)), 0.02) << c.name;
    }
}

// A sharp feature changes nothing out of a ray's reach of it, not even the
// bits (the lines carry on there as on the smooth heights), and changes the
// pixels that see it.
TEST(Occlusion, LeavesPixelsOutOfReachOfSharpHeightsAlone) {
    for (const SharpCase& c : kSharpCases) {
        const AoSettings s{c.depth, 12, 16, EDGE_CLAMP};
        ImgbufPtr smooth = ao_map(heights_of(96, 90, c.smooth).get(), s);
        ImgbufPtr sharp = ao_map(heights_of(96, 90, c.f).get(), s);
        ASSERT_TRUE(smooth && sharp);
        uint32_t far = 0, changed = 0;
        for (int y = 0; y < 90; ++y) {
            for (int x = 0; x < 96; ++x) {
                const bool differ = get_px(smooth.get(), x, y)[0] != get_px(sharp.get(), x, y)[0];
                // Past the farthest mark around a sharp point, sqrt(2) (R + 3),
                // and a measure's neighbour.
                const int gap = std::max({c.x0 - x, x - c.x1, 0}) + std::max({c.y0 - y, y - c.y1, 0});
                if (gap > 24) {
                    ++far;
                    EXPECT_FALSE(differ) << c.name << " at " << x << ", " << y;
                } else {
                    changed += differ;
                }
            }
        }
        EXPECT_GT(far, 1000u) << c.name;
        EXPECT_GT(changed, 500u) << c.name;
    }
}

// Every thread count and every instruction-set build give the same bits, on an
// image of several squares with ragged last ones: grain of at most 1.5 px
// from one pixel to the next (the lines) and of 6 px (each pixel's own ray).
TEST(Occlusion, SameBitsOnEveryThreadCountAndBuild) {
    // And both: grain of 1.5 px with a few pixels raised by 6.
    const Surface mixed = [](int x, int y) { return 0.25 * grain(x, y) + ((x * 7 + y * 3) % 613 ? 0 : 1); };
    for (const auto& [f, depth] : {std::pair{Surface(grain), 1.5f}, {Surface(grain), 6.0f}, {mixed, 6.0f}}) {
        Img img = heights_of(150, 131, f);
        const AoSettings s{depth, 20, 8, EDGE_WRAP};
        ImgbufPtr want = on_threads(1, [&] { return ao_map_on(CONVOLVE_PLAIN, img.get(), s); });
        ASSERT_TRUE(want);
        for (ConvolvePath path : {CONVOLVE_PLAIN, CONVOLVE_AVX2, CONVOLVE_AVX512}) {
            if (!convolve_path_supported(path)) continue;
            for (uint32_t n : {2u, 5u}) {
                ImgbufPtr got = on_threads(n, [&] { return ao_map_on(path, img.get(), s); });
                EXPECT_TRUE(same_image(got.get(), want.get()))
                    << "D " << depth << ", " << path << " on " << n << " threads";
            }
        }
    }
}

// A thread count far beyond the bands gives the same bits in no more memory
// than the bands need (a scratch per allowed thread would be some 30 GB). In a
// child whose address space is capped at what is in use plus 256 MiB.
[[noreturn]] void occlusion_on_a_hundred_thousand_threads() {
    const Img img = heights_of(64, 64, [](int x, int y) { return 0.02 * x + 0.01 * y; });
    const ImgbufPtr want = on_threads(1, [&] { return ao_map(img.get(), AoSettings{}); });
    std::ifstream statm("/proc/self/statm");
    rlim_t pages = 0;
    statm >> pages;
    const rlimit cap{pages * 4096 + (rlim_t{256} << 20), pages * 4096 + (rlim_t{256} << 20)};
    if (setrlimit(RLIMIT_AS, &cap) != 0) std::_Exit(2);
    // Nor does a strip of 20000 x 1 pixels need a square of its long side (1.6 GB).
    const ImgbufPtr strip = ao_map(heights_of(1, 20000, grain).get(), AoSettings{});
    const ImgbufPtr got = on_threads(100000, [&] { return ao_map(img.get(), AoSettings{}); });
    std::_Exit(got && same_image(got.get(), want.get()) && strip ? 0 : 1);
}

TEST(OcclusionDeathTest, AThreadCountFarBeyondTheBandsCostsNoMemory) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "address space caps break the sanitizer's shadow memory";
    EXPECT_EXIT(occlusion_on_a_hundred_thousand_threads(), ::testing::ExitedWithCode(0), "");
}

// The lines are anchored to the lattice of the image tiled 3 x 3 when it
// wraps, so the wrapped map is the centre of that image's clamped map bit for
// bit; a strip of rows ends inside the tiled image's centre, not inside the
// wrapped image.
// Sharp heights (each pixel's own ray) too: there a block one lane could not
// use leaves that lane as it was, so the tiled image's other grouping of
// pixels into vectors gives the same bits; and which pixels take their own
// rays depends only on the heights around them.
TEST(Occlusion, WrapIsTheCentreOfTheTiledImage) {
    // Waves at D = 3 are smooth enough for the lines; at 16 they are not; at
    // 3 with one spike, pixels near it take their own rays.
    const Surface spike = spiked(waves, 20, 70, 2.0);
    for (const auto& [f, depth] : {std::pair{Surface(waves), 3.0f}, {Surface(waves), 16.0f}, {spike, 3.0f}}) {
        ImgbufPtr tiled =
            ao_map(heights_of(123, 450, [&](int x, int y) { return f(x % 41, y % 150); }).get(),
                   {depth, 24, 16, EDGE_CLAMP});
        std::vector<double> centre;
        for (uint32_t y = 150; y < 300; ++y)
            for (uint32_t x = 41; x < 82; ++x) centre.push_back(get_px(tiled.get(), x, y)[0]);
        EXPECT_EQ(
            largest_error(ao_map(heights_of(41, 150, f).get(), {depth, 24, 16, EDGE_WRAP}).get(),
                          centre),
            0.0)
            << "D " << depth;
    }
}

// Level ground and no depth see the whole sky; heights that are not numbers
// count as 0; one pixel, unusable settings and missing images.
TEST(Occlusion, EdgeCases) {
    Img open = filled(70, 9, {1, 1, 1, 1});
    EXPECT_TRUE(same_image(
        ao_map(filled(70, 9, {0.7f, 0, 0, 1}).get(), {30, 16, 16, EDGE_CLAMP}).get(), open.get()));
    EXPECT_TRUE(same_image(ao_map(heights_of(70, 9, grain).get(), {0, 16, 16, EDGE_WRAP}).get(),
                           open.get()));
    ImgbufPtr holes =
        ao_map(heights_of(30, 30, [](int x, int y) { return x * y % 7 ? grain(x, y) : NAN; }).get(),
               {16, 16, 16, EDGE_WRAP});
    for (uint32_t i = 0; i < 30 * 30; ++i)
        EXPECT_TRUE(holes->pixels[4 * i] >= 0 && holes->pixels[4 * i] <= 1);
    // Sharp heights on images narrower and shorter than a vector of pixels
    // and than the radius, at the largest radius and depth.
    // And one sharp pixel among smooth ones, marks reaching past every edge.
    const Surface one_spike = spiked([](int, int) { return 0.0; }, 5, 1, 1.0);
    for (const auto& [w, h, f] : {std::tuple{1u, 13u, Surface(grain)}, {13u, 1u, Surface(grain)},
                                  {2u, 2u, Surface(grain)}, {9u, 3u, Surface(grain)},
                                  {700u, 3u, one_spike}, {3u, 9u, one_spike}}) {
        for (EdgeMode edge : {EDGE_CLAMP, EDGE_WRAP}) {
            ImgbufPtr sharp = ao_map(heights_of(w, h, f).get(), {kAoMaxDepth, kAoMaxRadius, 7, edge});
            ASSERT_TRUE(sharp);
            for (uint32_t i = 0; i < w * h; ++i)
                EXPECT_TRUE(sharp->pixels[4 * i] >= 0 && sharp->pixels[4 * i] <= 1) << w << "x" << h;
        }
    }
    Img one = filled(1, 1, {0.5f, 0, 0, 1});
    EXPECT_EQ(get_px(ao_map(one.get(), {}).get(), 0, 0), (Px{1, 1, 1, 1}));
    const AoSettings bad[] = {{-1, 16, 16, EDGE_CLAMP},   {NAN, 16, 16, EDGE_CLAMP},
                              {16, 7.9f, 16, EDGE_CLAMP}, {16, 257, 16, EDGE_CLAMP},
                              {16, 16, 3, EDGE_CLAMP},    {16, 16, 257, EDGE_CLAMP},
                              {16, 16, 16, EdgeMode(2)}};
    for (const AoSettings& s : bad) {
        EXPECT_NE(ao_settings_error(s), nullptr);
        EXPECT_FALSE(ao_map(one.get(), s));
    }
    EXPECT_EQ(ao_settings_error({}), nullptr);
    EXPECT_FALSE(ao_map(nullptr, {}));
    EXPECT_EQ(imgbuf_h(ao_map(make_img(0, 5).get(), {}).get()), 5u);
}
