// The surface generators on renders of known surfaces: the light's convention
// in the de-lit mode, photometric stereo (exact without noise, shadowed
// lights dropped, unknown lights found), heights from normals (clamp and wrap
// edges, prime-sided maps), and thread-count identity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

#include "heightmap/albedo.h"
#include "heightmap/delit.h"
#include "image_helpers.h"
#include "normalmap/normalmap.h"
#include "surface/integrate_normals.h"
#include "surface/photometric.h"

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

// Round dents in a level plate (heights in pixels), periodic over n: the
// darker parts (the shadowed walls) lie lower, the convention the
// estimates follow.
float dent(float x, float y, uint32_t n, float depth) {
    const float c = static_cast<float>(n) / 4.0f;
    const float dx = std::fmod(x + 4.0f * c, c) - 0.5f * c,
                dy = std::fmod(y + 4.0f * c, c) - 0.5f * c;
    const float t = 1.0f - (dx * dx + dy * dy) / (0.16f * c * c);
    return t > 0.0f ? -depth * t * t : 0.0f;
}

float dome(float x, float y, uint32_t n) {
    return dent(x, y, n, 4.0f);
}

// Lambert render under a light (screen azimuth and elevation, degrees), with
// an ambient share and, when asked, the shadows the dents cast (at 45 degrees
// only dents of depth 8 have any, attached and cast).
Img render(uint32_t n, float az, float el, float ambient, bool shadows, float depth = 4.0f) {
    auto h = [depth](float x, float y, uint32_t n) { return dent(x, y, n, depth); };
    const rk::LightVector l = rk::light_vector(az, el);
    return image_of(n, n, [&](uint32_t x, uint32_t y) {
        const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
        const float p = 0.5f * (h(fx + 1, fy, n) - h(fx - 1, fy, n));
        const float q = 0.5f * (h(fx, fy + 1, n) - h(fx, fy - 1, n));
        float lit = std::max(0.0f, (l.z - p * l.x - q * l.y) / std::sqrt(1.0f + p * p + q * q));
        for (int t = 1; shadows && t < 40 && lit > 0.0f; ++t) {
            const float s = static_cast<float>(t) / std::hypot(l.x, l.y);
            if (h(fx + s * l.x, fy + s * l.y, n) > h(fx, fy, n) + s * l.z) lit = 0.0f;
        }
        // Albedo 0.6, less where a bright ambient would take a reading past 1.
        const float v = 0.6f * (ambient + lit) / std::max(1.0f, 0.6f * (1.0f + ambient));
        return Px{v, v, v, 1.0f};
    });
}

double correlation_with(const imgbuf* img, uint32_t n, float (*h)(float, float, uint32_t)) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, m = 0;
    for (uint32_t y = 4; y + 4 < n; ++y) {
        for (uint32_t x = 4; x + 4 < n; ++x) {
            const double a = get_px(img, x, y)[0],
                         b = h(static_cast<float>(x), static_cast<float>(y), n);
            sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b, m += 1;
        }
    }
    return (sab - sa * sb / m) / std::sqrt((saa - sa * sa / m) * (sbb - sb * sb / m));
}

// A render lit from each side: with the light given the heights follow the
// domes (slopes of the right sign); without, the light's end is found from
// the shadows (the darker parts lie lower) and named on screen's convention.
TEST(SurfaceLight, EachSideGivesRightSlopesAndIsNamed) {
    constexpr uint32_t n = 128;
    for (float az : {0.0f, 90.0f, 180.0f, 270.0f}) {
        const Img photo = render(n, az, 30.0f, 0.2f, true);
        const rk::ImgbufPtr a = rk::make_image(n, n), b = rk::make_image(n, n);
        rk::DelitSettings given{true, false, 0};
        given.azimuth = az;
        ASSERT_TRUE(rk::delit_heights(a.get(), photo.get(), given));
        EXPECT_GT(correlation_with(a.get(), n, dome), 0.6) << az;
        rk::DelitLight found;
        ASSERT_TRUE(rk::delit_heights(b.get(), photo.get(), {true, false, 0}, &found));
        EXPECT_LT(std::abs(std::remainder(found.azimuth - az, 360.0f)), 45.0f) << az;
    }
}

struct Stack {
    std::vector<Img> photos;
    std::vector<const imgbuf*> ptrs;
    std::vector<rk::LightAngles> lights;
};

Stack stack(uint32_t n, std::initializer_list<float> azimuths, float ambient, bool shadows,
            float depth = 4.0f) {
    Stack s;
    for (float az : azimuths) {
        s.photos.push_back(render(n, az, 45.0f, ambient, shadows, depth));
        s.ptrs.push_back(s.photos.back().get());
        s.lights.push_back({az, 45.0f});
    }
    return s;
}

// Largest angle (degrees) between the result's normals and the domes' over the
// pixels (border left out) that pass the filter.
template <class Keep>
float worst_angle(const imgbuf* normals, uint32_t n, Keep keep, float depth = 4.0f) {
    auto dome = [depth](float x, float y, uint32_t n) { return dent(x, y, n, depth); };
    float worst = 0.0f;
    for (uint32_t y = 2; y + 2 < n; ++y) {
        for (uint32_t x = 2; x + 2 < n; ++x) {
            if (!keep(x, y)) continue;
            const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
            const float p = 0.5f * (dome(fx + 1, fy, n) - dome(fx - 1, fy, n));
            const float q = 0.5f * (dome(fx, fy + 1, n) - dome(fx, fy - 1, n));
            const Px v = get_px(normals, x, y);
            const float nx = 2 * v[0] - 1, ny = 2 * v[1] - 1, nz = v[2];
            const float c = (-p * nx - q * ny + nz) / std::sqrt(1 + p * p + q * q);
            worst = std::max(worst, std::acos(std::min(1.0f, c)) * 180.0f / kPi);
        }
    }
    return worst;
}

// Noiseless Lambert renders with an ambient term: exact normals for three and
// four lights, the ambient given or (four lights with shadows) estimated; the
// colour comes out even. Where a dome's shadow falls in one of four lights,
// that light is dropped and the normal stays right.
// An ambient share above sin 45 degrees (0.8) is brighter than the lamp's
// light on a level surface: the fit's quadratic then has two positive roots.
TEST(Photometric, ExactWithAmbientAndDropsShadowedLight) {
    constexpr uint32_t n = 96;
    for (bool four : {false, true}) {
        for (float ambient : {0.25f, 0.8f}) {
            const Stack s = four ? stack(n, {45, 135, 225, 315}, ambient, false)
                                 : stack(n, {90, 210, 330}, ambient, false);
            rk::PhotometricSettings set;
            set.ambient = ambient;
            rk::PhotometricResult r;
            ASSERT_EQ(
                rk::photometric_stereo(s.ptrs.data(), s.lights.data(), four ? 4 : 3, set, r),
                rk::PhotometricOutcome::solved);
            EXPECT_LT(worst_angle(r.normals.get(), n, [](auto, auto) { return true; }), 0.1f)
                << ambient;
            EXPECT_NEAR(get_px(r.albedo.get(), 3, 3)[0], get_px(r.albedo.get(), 40, 50)[0], 1e-3f);
        }
    }
    const Stack s = stack(n, {45, 135, 225, 315}, 0.25f, true, 8.0f);
    rk::PhotometricResult r;
    ASSERT_EQ(rk::photometric_stereo(s.ptrs.data(), s.lights.data(), 4, {}, r),
              rk::PhotometricOutcome::solved);
    // Pixels in at most one light's shadow: those in two or more have too few
    // lights left. There must be some in one.
    int in_one = 0;
    auto one_shadow = [&](uint32_t x, uint32_t y) {
        int dark = 0;
        for (const auto& p : s.photos) dark += get_px(p.get(), x, y)[0] < 0.6f * 0.26f;
        in_one += dark == 1;
        return dark <= 1;
    };
    EXPECT_LT(worst_angle(r.normals.get(), n, one_shadow, 8.0f), 2.0f);
    EXPECT_GT(in_one, 1000);
    // The ambient share comes from the dropped lights' readings, attached
    // shadows (the normal facing away) as well as cast ones.
    EXPECT_NEAR(r.ambient, 0.25f, 0.01f);
    // Unknown lights: found within a few degrees (the half turn from the shadows).
    Stack u = stack(n, {45, 135, 225, 315}, 0.25f, true);
    for (auto& l : u.lights) l = {NAN, 45.0f};
    rk::PhotometricResult ru;
    ASSERT_EQ(rk::photometric_stereo(u.ptrs.data(), u.lights.data(), 4, {}, ru),
              rk::PhotometricOutcome::solved);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_LT(std::abs(std::remainder(ru.lights[i].azimuth - s.lights[i].azimuth, 360.0f)),
                  5.0f);
    }
    u.lights[0].azimuth = s.lights[0].azimuth;  // one given light settles the half turn
    ASSERT_EQ(rk::photometric_stereo(u.ptrs.data(), u.lights.data(), 4, {}, ru),
              rk::PhotometricOutcome::solved);
    for (uint32_t i = 1; i < 4; ++i)
        EXPECT_LT(std::abs(std::remainder(ru.lights[i].azimuth - s.lights[i].azimuth, 360.0f)), 5.0f);
}

// Photographs exposed too long (one reading in seven clipped at 1, darker than
// the model's): those readings are neither dropped as shadows nor fitted, and
// the ambient share still comes from the real shadows. Five lights leave
// enough for a shadow beside a clipped light. Exposed just short of full
// scale, nothing is clipped: the normals are those of a dim exposure.
TEST(Photometric, ClippedReadingsAreNoShadows) {
    constexpr uint32_t n = 96;
    const Stack lit = stack(n, {0, 72, 144, 216, 288}, 0.25f, true, 8.0f);
    float peak = 0.0f;
    for (const Img& photo : lit.photos) {
        for (uint32_t i = 0; i < n * n; ++i) peak = std::max(peak, get_px(photo.get(), i % n, i / n)[0]);
    }
    const auto solved = [&](float gain) {
        Stack s{{}, {}, lit.lights};
        for (const Img& photo : lit.photos) {
            s.photos.push_back(image_of(n, n, [&](uint32_t x, uint32_t y) {
                const float v = std::min(1.0f, gain * get_px(photo.get(), x, y)[0]);
                return Px{v, v, v, 1.0f};
            }));
            s.ptrs.push_back(s.photos.back().get());
        }
        rk::PhotometricResult r;
        EXPECT_EQ(rk::photometric_stereo(s.ptrs.data(), s.lights.data(), 5, {}, r),
                  rk::PhotometricOutcome::solved);
        return r;
    };
    EXPECT_NEAR(solved(1.6f).ambient, 0.25f, 0.01f);
    const rk::PhotometricResult bright = solved(0.9995f / peak), dim = solved(0.5f / peak);
    float apart = 0.0f;
    for (uint32_t i = 0; i < n * n; ++i) {
        for (int c = 0; c < 3; ++c)
            apart = std::max(apart, std::abs(get_px(bright.normals.get(), i % n, i / n)[c] -
                                             get_px(dim.normals.get(), i % n, i / n)[c]));
    }
    EXPECT_LT(apart, 1e-4f);
}

// Lights of several elevations: a pixel in one light's attached shadow whose
// fit of all four does not face away from that light (its dark reading turns
// the normal) still gets its normal from the other three.
TEST(Photometric, AttachedShadowUnderLightsOfSeveralElevations) {
    const rk::LightAngles lights[4] = {{45, 30}, {135, 45}, {225, 60}, {315, 75}};
    const float n[3] = {0.6787f, 0.5166f, 0.5220f};  // n . l of light 1: -0.23
    std::vector<Img> photos;
    std::vector<const imgbuf*> ptrs;
    for (const auto& a : lights) {
        const rk::LightVector l = rk::light_vector(a.azimuth, a.elevation);
        const float v = 0.5f * (0.1f + std::max(0.0f, n[0] * l.x + n[1] * l.y + n[2] * l.z));
        photos.push_back(image_of(1, 1, [&](uint32_t, uint32_t) { return Px{v, v, v, 1.0f}; }));
        ptrs.push_back(photos.back().get());
    }
    rk::PhotometricSettings set;
    set.ambient = 0.1f;
    rk::PhotometricResult r;
    ASSERT_EQ(rk::photometric_stereo(ptrs.data(), lights, 4, set, r),
              rk::PhotometricOutcome::solved);
    const Px v = get_px(r.normals.get(), 0, 0);
    EXPECT_NEAR(2 * v[0] - 1, n[0], 1e-3f);
    EXPECT_NEAR(2 * v[1] - 1, n[1], 1e-3f);
    EXPECT_NEAR(v[2], n[2], 1e-3f);
}

// A normal map of a known surface, either green convention and either edge.
Img normal_map(uint32_t w, uint32_t ht, const std::function<float(float, float)>& h,
               bool green_up) {
    return image_of(w, ht, [&](uint32_t x, uint32_t y) {
        const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
        // slopes of the clamped surface at the edges, as a map's maker sees it
        const float xl = x ? fx - 1 : fx, xr = x + 1 < w ? fx + 1 : fx;
        const float yu = y ? fy - 1 : fy, yd = y + 1 < ht ? fy + 1 : fy;
        const float p = 0.5f * (h(xr, fy) - h(xl, fy)), q = 0.5f * (h(fx, yd) - h(fx, yu));
        const float len = std::sqrt(1 + p * p + q * q);
        return Px{0.5f - 0.5f * p / len, 0.5f + (green_up ? 0.5f : -0.5f) * q / len, 1 / len, 1};
    });
}

Img normal_map(uint32_t n, float (*h)(float, float, uint32_t), bool green_up) {
    return normal_map(
        n, n, [&](float x, float y) { return h(x, y, n); }, green_up);
}

float slope_hill(float x, float y, uint32_t n) {  // not periodic
    const float c = 0.5f * static_cast<float>(n);
    return 6.0f *
               std::exp(-((x - 0.7f * c) * (x - 0.7f * c) + (y - c) * (y - c)) / (0.2f * c * c)) +
           0.03f * x;
}

TEST(Integrate, RecoversSurfaceOnClampAndWrapEdges) {
    constexpr uint32_t n = 64;
    for (bool wrap : {false, true}) {
        for (bool green_up : {false, true}) {
            auto* h = wrap ? dome : slope_hill;
            const Img map = normal_map(n, h, green_up);
            float range = 0.0f;
            const rk::ImgbufPtr out =
                rk::heights_from_normals(map.get(), {wrap, false, green_up}, &range);
            ASSERT_TRUE(out);
            EXPECT_GT(correlation_with(out.get(), n, h), 0.999) << wrap << green_up;
        }
    }
    // Wrap: the map moved round gives the heights moved round.
    const Img map = normal_map(n, dome, false);
    const Img moved = image_of(
        n, n, [&](uint32_t x, uint32_t y) { return get_px(map.get(), (x + 21) % n, (y + 5) % n); });
    const rk::ImgbufPtr a = rk::heights_from_normals(map.get(), {true}),
                        b = rk::heights_from_normals(moved.get(), {true});
    for (uint32_t y = 0; y < n; ++y) {
        for (uint32_t x = 0; x < n; ++x) {
            ASSERT_NEAR(get_px(b.get(), x, y)[0], get_px(a.get(), (x + 21) % n, (y + 5) % n)[0],
                        1e-4f);
        }
    }
    // Blue read as it is stored, z or 0.5 + 0.5 z, gives unit normals' heights.
    const Img biased = image_of(n, n, [&](uint32_t x, uint32_t y) {
        Px p = get_px(map.get(), x, y);
        return Px{p[0], p[1], 0.5f + 0.5f * p[2], 1};
    });
    for (const auto& [m, blue] : {std::pair{map.get(), rk::NormalBlue::z}, {biased.get(), rk::NormalBlue::biased}}) {
        const rk::ImgbufPtr c = rk::heights_from_normals(m, {true, false, false, blue});
        for (uint32_t i = 0; i < n * n; ++i) ASSERT_NEAR(get_px(c.get(), i % n, i / n)[0], get_px(a.get(), i % n, i / n)[0], 1e-3f);
    }
}

// A map whose edge pixels hold the surface's full slope (a bake's, where
// heights held at the edge give half a step): a grating steepest at the edge
// rows came out 4.6 % of its range wrong.
TEST(Integrate, FullSlopesAtTheEdgesOfANonTilingMap) {
    constexpr uint32_t w = 96, h = 64;
    constexpr float k = 0.3927f;  // a period of 16 px down the rows
    const Img map = image_of(w, h, [&](uint32_t, uint32_t y) {
        const float q = 4.0f * k * std::cos(k * static_cast<float>(y)), len = std::sqrt(1 + q * q);
        return Px{0.5f, 0.5f - 0.5f * q / len, 1 / len, 1};
    });
    float range = 0.0f;
    const rk::ImgbufPtr out = rk::heights_from_normals(map.get(), {}, &range);
    ASSERT_TRUE(out);
    double sum = 0.0, sq = 0.0;
    for (uint32_t y = 0; y < h; ++y) {
        const double d = range * get_px(out.get(), 7, y)[0] - 4.0 * std::sin(k * y);
        sum += d, sq += d * d;
    }
    EXPECT_LT(std::sqrt(sq / h - sum * sum / (h * h)), 0.02 * 8);
}

// Maps whose slopes were taken otherwise than by central differences: one-
// sided either way and mixed across the axes (a map drawn green up turns
// forward into backward), whole one-sided steps at the edges only (array
// libraries' gradients), Sobel's and Prewitt's filters, and a smooth hill,
// whose slopes every stencil fits within the rounding, told by its edges.
// Read as central differences each came out 0.6 to 4.8 % of its range wrong.
TEST(Integrate, SlopesOfOtherStencils) {
    constexpr uint32_t w = 80, h = 72;
    auto step = [](float t) { return 1.0f / (1.0f + std::exp(-2.0f * t)); };
    const std::function<float(float, float)> plateau = [&](float x, float y) {
        return 8.0f * step(17.0f - std::abs(x - 10.0f)) * step(14.0f - std::abs(y - 8.0f)) +
               0.05f * x;
    };
    // the same with walls of about a pixel, and bumps on it
    const std::function<float(float, float)> cliff = [&](float x, float y) {
        return 8.0f * step(1.5f * (17.0f - std::abs(x - 10.0f))) *
                   step(1.5f * (14.0f - std::abs(y - 8.0f))) +
               std::sin(0.9f * x) * std::sin(0.7f * y);
    };
    // walls a pixel or two inside the left and right edges, their height
    // changing down the rows
    const std::function<float(float, float)> rim = [&](float x, float y) {
        return (6.0f + 2.0f * std::sin(0.2f * y)) * step(x - 1.5f) * step(77.5f - x);
    };
    const std::function<float(float, float)> hill = [](float x, float y) {
        return slope_hill(x, y, 72);
    };
    enum Stencil { central, forward, backward, whole_edges, sobel, prewitt };
    const struct {
        const std::function<float(float, float)>* surface;
        Stencil x, y;
    } cases[] = {{&plateau, forward, forward},  {&plateau, backward, backward},
                 {&plateau, forward, backward}, {&rim, whole_edges, whole_edges},
                 {&hill, forward, forward},     {&hill, backward, central},
                 {&cliff, sobel, sobel},        {&cliff, prewitt, prewitt}};
    for (const auto& c : cases) {
        const auto& f = *c.surface;
        auto slope = [&](Stencil s, uint32_t i, uint32_t n,
                         const std::function<float(int64_t)>& at) {
            const int64_t j = i, last = int64_t{n} - 1;
            if (s == forward) return at(j + 1) - at(j);
            if (s == backward) return at(j) - at(j - 1);
            if (s == whole_edges && j == 0) return at(1) - at(0);
            if (s == whole_edges && j == last) return at(last) - at(last - 1);
            return 0.5f * (at(j + 1) - at(j - 1));
        };
        const Img map = image_of(w, h, [&](uint32_t x, uint32_t y) {
            auto held = [&](int64_t u, int64_t v) {
                return f(static_cast<float>(std::clamp<int64_t>(u, 0, w - 1)),
                         static_cast<float>(std::clamp<int64_t>(v, 0, h - 1)));
            };
            // Sobel and Prewitt: central differences smoothed across by (a, 1 - 2a, a)
            const float a = c.x == sobel ? 0.25f : c.x == prewitt ? 1.0f / 3.0f : 0.0f;
            float p = 0.0f, q = 0.0f;
            for (const int d : {-1, 0, 1}) {
                const float k = d ? a : 1.0f - 2.0f * a;
                const auto across_x =
                    static_cast<uint32_t>(std::clamp<int64_t>(int64_t{x} + d, 0, w - 1));
                const auto across_y =
                    static_cast<uint32_t>(std::clamp<int64_t>(int64_t{y} + d, 0, h - 1));
                const Stencil sx = a > 0.0f ? central : c.x, sy = a > 0.0f ? central : c.y;
                p += k * slope(sx, x, w, [&](int64_t u) { return held(u, across_y); });
                q += k * slope(sy, y, h, [&](int64_t v) { return held(across_x, v); });
            }
            const float len = std::sqrt(1 + p * p + q * q);
            return Px{0.5f - 0.5f * p / len, 0.5f - 0.5f * q / len, 1 / len, 1};
        });
        float range = 0.0f;
        const rk::ImgbufPtr out = rk::heights_from_normals(map.get(), {}, &range);
        ASSERT_TRUE(out);
        double sum = 0.0, sq = 0.0, lo = INFINITY, hi = -INFINITY;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const double t = f(static_cast<float>(x), static_cast<float>(y));
                const double d = range * get_px(out.get(), x, y)[0] - t;
                sum += d, sq += d * d, lo = std::min(lo, t), hi = std::max(hi, t);
            }
        }
        const double n = double(w) * h;
        EXPECT_LT(std::sqrt(sq / n - sum * sum / (n * n)), 0.005 * (hi - lo))
            << (c.surface == &hill  ? "hill "
                : c.surface == &rim ? "rim "
                                    : "plateau ")
            << c.x << c.y;
    }
}

// This library's own normal map of a non-tiling image is level along its
// outermost pixels; read as the surface's slopes there, that ring bent the
// heights at the edges (a hill rising to one edge: 0.45 % of its range off,
// 0.05 % now).
TEST(Integrate, OwnMapsLevelRing) {
    constexpr uint32_t n = 64;
    const Img heights = image_of(n, n, [&](uint32_t x, uint32_t y) {
        const float v = slope_hill(static_cast<float>(x), static_cast<float>(y), n) / 8.0f;
        return Px{v, v, v, 1};
    });
    const rk::ImgbufPtr normals = rk::make_image(n, n);
    ASSERT_TRUE(rk::normals_into(normals.get(), heights.get(),
                                 {1.0f, 1.0f, false, false, rk::KernelKind{}, 0, rk::EDGE_CLAMP}));
    const rk::ImgbufPtr out = rk::heights_from_normals(normals.get(), {});
    ASSERT_TRUE(out);
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, lo = INFINITY, hi = -INFINITY;
    for (uint32_t y = 0; y < n; ++y) {
        for (uint32_t x = 0; x < n; ++x) {
            const double a = get_px(out.get(), x, y)[0], b = get_px(heights.get(), x, y)[0];
            sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b;
            lo = std::min(lo, b), hi = std::max(hi, b);
        }
    }
    // what is left of b after the best offset and scale of a
    const double m = double(n) * n, vb = sbb - sb * sb / m, cab = sab - sa * sb / m;
    const double left = vb - cab * cab / (saa - sa * sa / m);
    EXPECT_LT(std::sqrt(std::max(left, 0.0) / m), 0.002 * (hi - lo));
}

// Heights from the normals of a smooth non-periodic surface on prime-sided
// maps (clamped: grids of 2 x 211 by 2 x 101, and 2 by 2 x 1009) come out as
// well as on the fast size next to them.
TEST(Integrate, PrimeSidesAsGoodAsFastOnes) {
    auto error = [](uint32_t w, uint32_t h) {
        const auto fw = static_cast<float>(w), fh = static_cast<float>(h);
        auto hill = [&](float x, float y) {
            const float dx = x - 0.6f * fw, dy = y - 0.45f * fh;
            return 6.0f * std::exp(-dx * dx / (0.1f * fw * fw) - dy * dy / (0.1f * fh * fh)) +
                   0.02f * (x + y);
        };
        float range = 0.0f;
        const rk::ImgbufPtr out =
            rk::heights_from_normals(normal_map(w, h, hill, false).get(), {}, &range);
        double sum = 0.0, sq = 0.0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const double d = range * get_px(out.get(), x, y)[0] -
                                 hill(static_cast<float>(x), static_cast<float>(y));
                sum += d, sq += d * d;
            }
        }
        const double n = double(w) * h;
        return std::sqrt(sq / n - sum * sum / (n * n));
    };
    for (auto [w, h, fw, fh] : {std::array<uint32_t, 4>{211, 101, 210, 100}, {1, 1009, 1, 1008}}) {
        const double prime = error(w, h), fast = error(fw, fh);
        EXPECT_LT(prime, 2.0 * fast + 1e-5) << w << "x" << h;
    }
}

// Twelve lights around deep dents: a pixel in the shadow of two or three
// drops each of them and keeps its normal, and the fits (whose inverses of the
// masks left are kept from pixel to pixel) are the same on every thread count.
TEST(Photometric, ManyLightsDropEveryShadowOnEveryThreadCount) {
    constexpr uint32_t n = 96;
    const Stack s =
        stack(n, {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330}, 0.25f, true, 8.0f);
    auto run = [&] {
        rk::PhotometricResult r;
        EXPECT_EQ(rk::photometric_stereo(s.ptrs.data(), s.lights.data(), 12, {}, r),
                  rk::PhotometricOutcome::solved);
        return Img(r.normals.release());
    };
    const Img one = on_threads(1, run);
    int in_several = 0;
    auto in_at_most_three = [&](uint32_t x, uint32_t y) {
        int dark = 0;
        for (const auto& p : s.photos) dark += get_px(p.get(), x, y)[0] < 0.6f * 0.26f;
        in_several += dark == 2 || dark == 3;
        return dark <= 3;
    };
    EXPECT_LT(worst_angle(one.get(), n, in_at_most_three, 8.0f), 2.0f);
    EXPECT_GT(in_several, 500);
    EXPECT_TRUE(same_image(one.get(), on_threads(2, run).get()));
    EXPECT_TRUE(same_image(one.get(), on_threads(3, run).get()));
}

// Inputs with little or nothing to fit: the result is solved, the ambient share
// estimated lies in 0..1 and every output sample is finite and in 0..1. A pit
// that only the high light reaches (the low ones all shadowed) ends its fit
// with only black readings once the high light is dropped as a highlight.
TEST(Photometric, DegenerateInputsGiveFiniteResults) {
    struct Case {
        const char* name;
        uint32_t w, h, count;
        bool known;
        std::function<float(uint32_t, uint32_t, uint32_t)> value;  // photo, x, y
    };
    const Case cases[] = {
        {"pit seen by the high light", 16, 16, 5, true,
         [](uint32_t i, uint32_t x, uint32_t) { return x % 2 ? (i == 0 ? 0.5f : 0.0f) : 0.3f; }},
        {"NaN and infinite pixels", 16, 16, 9, false,
         [](uint32_t i, uint32_t x, uint32_t y) {
             return (x + y + i) % 3 == 0 ? NAN : (x + y) % 3 == 1 ? INFINITY : 0.4f;
         }},
        {"one row", 40, 1, 32, true,
         [](uint32_t i, uint32_t x, uint32_t) { return 0.1f * static_cast<float>((x * i) % 7); }},
        {"one column", 1, 40, 32, true,
         [](uint32_t i, uint32_t, uint32_t y) { return 0.1f * static_cast<float>((y + i) % 7); }},
    };
    for (const Case& c : cases) {
        std::vector<Img> photos;
        std::vector<const imgbuf*> ptrs;
        std::vector<rk::LightAngles> lights;
        for (uint32_t i = 0; i < c.count; ++i) {
            photos.push_back(image_of(c.w, c.h, [&](uint32_t x, uint32_t y) {
                const float v = c.value(i, x, y);
                return Px{v, v, v, 1.0f};
            }));
            ptrs.push_back(photos.back().get());
            lights.push_back(
                {c.known ? 360.0f * static_cast<float>(i) / static_cast<float>(c.count) : NAN,
                 i == 0 ? 70.0f : 20.0f});
        }
        rk::PhotometricResult r;
        ASSERT_EQ(rk::photometric_stereo(ptrs.data(), lights.data(), c.count, {}, r),
                  rk::PhotometricOutcome::solved)
            << c.name;
        EXPECT_TRUE(r.ambient >= 0.0f && r.ambient <= 1.0f) << c.name << ": " << r.ambient;
        for (const imgbuf* out : {r.normals.get(), r.albedo.get(), r.heights.get()}) {
            for (uint32_t y = 0; y < c.h; ++y) {
                for (uint32_t x = 0; x < c.w; ++x) {
                    for (float v : get_px(out, x, y)) {
                        ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << c.name << " " << x << "," << y;
                    }
                }
            }
        }
    }
}

// Photographs that cannot show their unknown lights (no relief, or lights from
// one side and its opposite) are refused, not solved under lights made up; a
// level surface under lights at quarter turns (whose
// vectors are not quite level-symmetric) has level heights, not a ramp.
TEST(Photometric, WhatThePhotographsCannotTell) {
    constexpr uint32_t n = 48;
    const Stack opposite = stack(n, {0, 180, 0, 180}, 0.2f, false);
    const Stack level = stack(n, {0, 90, 180, 270}, 0.2f, false, 0.0f);
    for (const Stack* s : {&level, &opposite}) {
        std::vector<rk::LightAngles> unknown(4, rk::LightAngles{NAN, 45.0f});
        rk::PhotometricResult r;
        const rk::PhotometricOutcome o =
            rk::photometric_stereo(s->ptrs.data(), unknown.data(), 4, {}, r);
        EXPECT_TRUE(o == rk::PhotometricOutcome::lights_unknown ||
                    o == rk::PhotometricOutcome::lights_in_one_plane)
            << static_cast<int>(o);
    }
    rk::PhotometricResult r;
    ASSERT_EQ(rk::photometric_stereo(level.ptrs.data(), level.lights.data(), 4, {}, r),
              rk::PhotometricOutcome::solved);
    EXPECT_EQ(r.height_range, 0.0f);
    EXPECT_EQ(get_px(r.heights.get(), 0, 0)[0], get_px(r.heights.get(), n - 1, n - 1)[0]);
}

TEST(Surface, SameBitsOnEveryThreadCount) {
    constexpr uint32_t n = 80;
    const Stack s = stack(n, {45, 135, 225, 315}, 0.25f, true);
    auto run = [&] {
        rk::PhotometricResult r;
        std::vector<rk::LightAngles> unknown(4, {NAN, NAN});
        EXPECT_EQ(rk::photometric_stereo(s.ptrs.data(), unknown.data(), 4, {}, r),
                  rk::PhotometricOutcome::solved);
        rk::ImgbufPtr h = rk::heights_from_normals(r.normals.get(), {});
        std::vector<Img> out;
        out.emplace_back(r.normals.release());
        out.emplace_back(r.albedo.release());
        out.emplace_back(h.release());
        // One photograph: its de-lit heights (light given) and colour.
        rk::DelitSettings lit;
        lit.azimuth = 45.0f;
        out.emplace_back(rk::make_image(n, n).release());
        EXPECT_TRUE(rk::delit_heights(out.back().get(), s.ptrs[0], lit));
        out.emplace_back(rk::albedo_map(s.ptrs[0], {}).release());
        return out;
    };
    const auto one = on_threads(1, run), two = on_threads(2, run), four = on_threads(4, run);
    for (size_t i = 0; i < one.size(); ++i) {
        EXPECT_TRUE(same_image(one[i].get(), two[i].get()));
        EXPECT_TRUE(same_image(one[i].get(), four[i].get()));
    }
}

}  // namespace
