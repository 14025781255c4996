#include "surface_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "imgbuf/imgbuf.h"
#include "surface/integrate_normals.h"
#include "surface/photometric.h"

namespace fidelity {
namespace {

// The lights of the photometric rows: a torch at 40 degrees, from four
// corners, or from three sides 120 degrees apart (scene angles: clockwise
// from +x with y down).
std::vector<Light> ps_lights(uint32_t count) {
    std::vector<Light> l;
    for (uint32_t i = 0; i < count; ++i) {
        const float az = count == 4 ? 45.0f + 90.0f * static_cast<float>(i)
                                    : 270.0f + 120.0f * static_cast<float>(i);
        l.push_back({"ps", false, std::fmod(az, 360.0f), 40.0f});
    }
    return l;
}

double angle_error(float a, float b) {
    return std::abs(std::remainder(static_cast<double>(a) - b, 360.0));
}

}  // namespace

double albedo_error(const imgbuf* img, const Field& albedo) {
    constexpr uint32_t kBorder = 4;
    const uint32_t w = albedo.width, h = albedo.height;
    double aa = 0.0, at = 0.0, tt = 0.0, ts = 0.0, n = 0.0;
    for (uint32_t y = kBorder; y + kBorder < h; ++y) {
        const float* row = imgbuf_row(img, y);
        for (uint32_t x = kBorder; x + kBorder < w; ++x) {
            const float* p = row + 4 * size_t{x};
            const double a = 0.114 * p[2] + (0.299 * p[0] + 0.587 * p[1]);
            const double t = albedo.v[size_t{y} * w + x];
            aa += a * a, at += a * t, tt += t * t, ts += t, n += 1.0;
        }
    }
    // min over k of sum (k a - t)^2 = tt - at^2 / aa
    const double err = aa > 0.0 ? tt - at * at / aa : tt;
    return std::sqrt(std::max(0.0, err) / n) / (ts / n);
}

void photometric_rows(const std::vector<Surface>& surfaces, uint32_t size) {
    std::printf(
        "\n| surface | flat | luminance | 4 given | 4 estimated | 3 given | 3 estimated |\n"
        "|---|---|---|---|---|---|---|\n");
    double sums[6] = {};
    double worst_light[2] = {};
    uint32_t seed = 500;
    for (const auto& s : surfaces) {
        std::vector<float> gx, gy;
        slopes(s.height, gx, gy);
        Score sc[6];
        sc[0] = score(nullptr, gx, gy, size);
        int col = 2;
        for (uint32_t count : {4u, 3u}) {
            const auto lights = ps_lights(count);
            std::vector<Img> photos;
            std::vector<const imgbuf*> ptrs;
            for (const auto& l : lights) {
                photos.emplace_back(to_image(photograph(s, l, seed++)));
                ptrs.push_back(photos.back().p);
            }
            if (count == 4) {
                Img h(heights(ptrs[0], 7));
                Img n(normals(h.p));
                sc[1] = score(n.p, gx, gy, size);
            }
            for (int estimated = 0; estimated < 2; ++estimated) {
                std::vector<rk::LightAngles> given(count);
                for (uint32_t i = 0; i < count; ++i) {
                    given[i].azimuth = estimated ? NAN : screen_azimuth(lights[i]);
                    given[i].elevation = estimated ? NAN : lights[i].elevation_deg;
                }
                rk::PhotometricResult res;
                const bool ok = rk::photometric_stereo(ptrs.data(), given.data(), count, {}, res) ==
                                rk::PhotometricOutcome::solved;
                sc[col] = score(ok ? res.normals.get() : nullptr, gx, gy, size);
                if (ok && estimated) {
                    for (uint32_t i = 0; i < count; ++i) {
                        worst_light[count == 4 ? 0 : 1] =
                            std::max(worst_light[count == 4 ? 0 : 1],
                                     angle_error(res.lights[i].azimuth, screen_azimuth(lights[i])));
                    }
                }
                if (getenv("RK_FIDELITY_VERBOSE") && ok) {
                    std::fprintf(stderr, "%s %u %s: ambient %.3f lights", s.name.c_str(), count,
                                 estimated ? "est" : "given", res.ambient);
                    for (auto& l : res.lights)
                        std::fprintf(stderr, " %.1f/%.1f", l.azimuth, l.elevation);
                    std::fprintf(stderr, "\n");
                }
                ++col;
            }
        }
        std::printf("| %s", s.name.c_str());
        for (int c = 0; c < 6; ++c) {
            std::printf(" | %.1f", sc[c].mean);
            sums[c] += sc[c].mean;
        }
        std::printf(" |\n");
    }
    std::printf("| **mean** |");
    for (double v : sums) std::printf(" %.2f |", v / static_cast<double>(surfaces.size()));
    std::printf("\n\nworst estimated azimuth: %.1f degrees (4 lights), %.1f (3 lights)\n",
                worst_light[0], worst_light[1]);
}

namespace {

// Root-mean-square difference after the best offset and scale of a, as a
// share of b's range.
double rms_share(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t n = a.size();
    double ma = 0.0, mb = 0.0;
    for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i];
    ma /= static_cast<double>(n);
    mb /= static_cast<double>(n);
    double saa = 0.0, sab = 0.0;
    for (size_t i = 0; i < n; ++i) {
        saa += (a[i] - ma) * (a[i] - ma);
        sab += (a[i] - ma) * (b[i] - mb);
    }
    const double k = saa > 0.0 ? sab / saa : 0.0;
    double err = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double d = k * (a[i] - ma) - (b[i] - mb);
        err += d * d;
    }
    const auto [lo, hi] = std::minmax_element(b.begin(), b.end());
    return std::sqrt(err / static_cast<double>(n)) / (*hi - *lo);
}

std::vector<float> red_of(const imgbuf* img) {
    std::vector<float> v;
    for (uint32_t y = 0; y < imgbuf_h(img); ++y) {
        const float* row = imgbuf_row(img, y);
        for (uint32_t x = 0; x < imgbuf_w(img); ++x) v.push_back(row[4 * x]);
    }
    return v;
}

}  // namespace

namespace {

// A normal map (green down) of slopes gx, gy.
Img normal_map_of(uint32_t w, uint32_t h, const std::vector<float>& gx,
                  const std::vector<float>& gy) {
    Img nmap(create_imgbuf(w, h));
    for (uint32_t y = 0; y < h; ++y) {
        float* row = imgbuf_row(nmap.p, y);
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = size_t{y} * w + x;
            const float len = std::sqrt(1.0f + gx[i] * gx[i] + gy[i] * gy[i]);
            row[4 * x] = 0.5f - 0.5f * gx[i] / len;
            row[4 * x + 1] = 0.5f - 0.5f * gy[i] / len;
            row[4 * x + 2] = 1.0f / len;
            row[4 * x + 3] = 1.0f;
        }
    }
    return nmap;
}

// The map saved as a PNG of depth bits, loaded, integrated and scored against
// the true heights.
double integrated_share(const Img& nmap, int depth, const std::string& tmp_dir,
                        const std::vector<float>& truth) {
    const std::string path = tmp_dir + "/rk_fidelity_normal.png";
    std::u16string wide(path.begin(), path.end());
    char16_t msg[256];
    save_png_ex(msg, 256, wide.c_str(), nmap.p, depth, RK_PNG_RGB, 0, 1, 2);
    Img loaded(load_image(wide.c_str()));
    rk::ImgbufPtr hm = rk::heights_from_normals(loaded.p, {});
    return hm ? rms_share(red_of(hm.get()), truth) : 1.0;
}

// Slopes of heights held at the edges as other tools take them.
enum class Taken { forward, backward, whole_edges, second_order_edges, sobel, prewitt, scharr };
constexpr const char* kTakenNames[] = {"forward, h[x + 1] - h[x]",
                                       "backward, h[x] - h[x - 1]",
                                       "central, whole one-sided steps at the edges",
                                       "central, second-order one-sided edges",
                                       "Sobel (3 x 3)",
                                       "Prewitt (3 x 3)",
                                       "Scharr (3 x 3)"};

void slopes_taken(const Field& f, Taken taken, std::vector<float>& gx, std::vector<float>& gy) {
    slopes(f, gx, gy);
    const int64_t w = f.width, h = f.height;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            float& px = gx[size_t(y * w + x)];
            float& py = gy[size_t(y * w + x)];
            auto at = [&](int64_t u, int64_t v) { return f.at(u, v); };
            switch (taken) {
                case Taken::forward:
                    px = at(x + 1, y) - at(x, y), py = at(x, y + 1) - at(x, y);
                    break;
                case Taken::backward:
                    px = at(x, y) - at(x - 1, y), py = at(x, y) - at(x, y - 1);
                    break;
                case Taken::whole_edges:
                    if (x == 0 || x == w - 1)
                        px = at(std::min(x + 1, w - 1), y) - at(std::max(x - 1, int64_t{0}), y);
                    if (y == 0 || y == h - 1)
                        py = at(x, std::min(y + 1, h - 1)) - at(x, std::max(y - 1, int64_t{0}));
                    break;
                case Taken::second_order_edges:
                    if (x == 0) px = (-3 * at(0, y) + 4 * at(1, y) - at(2, y)) / 2;
                    if (x == w - 1) px = (3 * at(x, y) - 4 * at(x - 1, y) + at(x - 2, y)) / 2;
                    if (y == 0) py = (-3 * at(x, 0) + 4 * at(x, 1) - at(x, 2)) / 2;
                    if (y == h - 1) py = (3 * at(x, y) - 4 * at(x, y - 1) + at(x, y - 2)) / 2;
                    break;
                default: {
                    // central differences smoothed across by (1, c, 1) / (2 + c)
                    const float c = taken == Taken::sobel     ? 2.0f
                                    : taken == Taken::prewitt ? 1.0f
                                                              : 10.0f / 3.0f;
                    const float n = 2.0f * (2.0f + c);
                    px =
                        ((at(x + 1, y - 1) - at(x - 1, y - 1)) + c * (at(x + 1, y) - at(x - 1, y)) +
                         (at(x + 1, y + 1) - at(x - 1, y + 1))) /
                        n;
                    py =
                        ((at(x - 1, y + 1) - at(x - 1, y - 1)) + c * (at(x, y + 1) - at(x, y - 1)) +
                         (at(x + 1, y + 1) - at(x + 1, y - 1))) /
                        n;
                }
            }
        }
    }
}

}  // namespace

void integration_rows(const std::vector<Surface>& surfaces, const std::string& tmp_dir) {
    std::printf(
        "\n| surface | flat | luminance (overcast) | from 16-bit normals | from 8-bit normals |\n"
        "|---|---|---|---|---|\n");
    double worst = 0.0;
    for (const auto& s : surfaces) {
        const uint32_t w = s.height.width, h = s.height.height;
        std::vector<float> gx, gy;
        slopes(s.height, gx, gy);
        const Img nmap = normal_map_of(w, h, gx, gy);
        std::vector<float> flat(s.height.v.size(), 0.0f);
        flat[0] = 1e-6f;  // a level map; the offset fit needs a spread
        double share[4] = {rms_share(flat, s.height.v), 0.0, 0.0, 0.0};
        Img photo(to_image(photograph(s, {"overcast", true, 0, 0}, 900)));
        Img lum(heights(photo.p, 7));
        share[1] = rms_share(red_of(lum.p), s.height.v);
        for (int depth = 0; depth < 2; ++depth)
            share[2 + depth] = integrated_share(nmap, depth ? 8 : 16, tmp_dir, s.height.v);
        worst = std::max(worst, share[2]);
        std::printf("| %s | %.2f %% | %.2f %% | %.2f %% | %.2f %% |\n", s.name.c_str(),
                    100 * share[0], 100 * share[1], 100 * share[2], 100 * share[3]);
    }
    std::printf("\nworst from 16-bit normals: %.2f %% of the relief's range\n", 100 * worst);
    // Normal maps of the same heights as other tools take their slopes.
    std::printf("\n| slopes taken (16-bit) | worst surface |\n|---|---|\n");
    for (int t = 0; t <= int(Taken::scharr); ++t) {
        double most = 0.0;
        std::string which;
        for (const auto& s : surfaces) {
            std::vector<float> gx, gy;
            slopes_taken(s.height, Taken(t), gx, gy);
            const double share = integrated_share(
                normal_map_of(s.height.width, s.height.height, gx, gy), 16, tmp_dir, s.height.v);
            if (share > most) most = share, which = s.name;
        }
        std::printf("| %s | %.2f %% (%s) |\n", kTakenNames[t], 100 * most, which.c_str());
    }
}

}  // namespace fidelity
