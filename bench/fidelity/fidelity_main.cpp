// How close the command's normal maps come to the true surface: synthetic
// surfaces of known relief are photographed under a low sun and an overcast
// sky, and each height method's normal map is scored against the true normals.
//
//   rk_fidelity [--size N] [--write DIR] [--time N]
//
// --write DIR saves the first surface's sun photograph and both methods' maps
// (for the README); --time N times both height methods on an N x N photograph.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numeric>
#include <string>
#include <vector>

#include <reliefkit.h>

#include "heightmap/albedo.h"
#include "heightmap/delit.h"
#include "imgbuf/imgbuf.h"
#include "scenes.h"
#include "surface_rows.h"

namespace fidelity {

// The command's defaults (cli/options.h): auto-levels, detail 5 / 0.05,
// Gaussian smoothing 3; normal strength 2, centre weight 1, no blur.
constexpr uint32_t kFlags = HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH;

imgbuf* to_image(const Field& f) {
    imgbuf* img = create_imgbuf(f.width, f.height);
    for (uint32_t y = 0; y < f.height; ++y) {
        float* row = imgbuf_row(img, y);
        for (uint32_t x = 0; x < f.width; ++x) {
            const float v = f.v[size_t{y} * f.width + x];
            row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
            row[4 * x + 3] = 1.0f;
        }
    }
    return img;
}

imgbuf* heights(const imgbuf* photo, uint32_t mode) {
    return calc_heightmap_from_photo_ex(photo, mode, kFlags, 0.5f, 0.0f, 1.0f, 5, 0.05f, 1.0f, 1.0f,
                                        1.0f, 3, 0, RK_EDGE_CLAMP);
}

imgbuf* normals(const imgbuf* height) {
    return calc_normalmap_from_heightmap(height, 0, 0, 2, 1, 0, 0);
}

// Mean and 90th-percentile angle (degrees) between the true normals (-gx, -gy, 1)
// and (a p, a q, 1), where (p, q) are the map's slopes, a >= 0 the one global
// scale that gives the smallest mean angle. A null map scores as flat.
Score score(const imgbuf* nmap, const std::vector<float>& gx, const std::vector<float>& gy,
            uint32_t size) {
    constexpr uint32_t kBorder = 4;
    std::vector<float> p, q, tx, ty;
    for (uint32_t y = kBorder; y + kBorder < size; ++y) {
        const float* row = nmap ? imgbuf_row(nmap, y) : nullptr;
        for (uint32_t x = kBorder; x + kBorder < size; ++x) {
            const size_t i = size_t{y} * size + x;
            tx.push_back(-gx[i]);
            ty.push_back(-gy[i]);
            p.push_back(row ? 2.0f * (row[4 * x] - 0.5f) / row[4 * x + 2] : 0.0f);
            q.push_back(row ? 2.0f * (row[4 * x + 1] - 0.5f) / row[4 * x + 2] : 0.0f);
        }
    }
    std::vector<double> angles(p.size());
    auto evaluate = [&](double a) {
        double sum = 0.0;
        for (size_t i = 0; i < p.size(); ++i) {
            const double ex = a * p[i], ey = a * q[i];
            const double dot = ex * tx[i] + ey * ty[i] + 1.0;
            const double n =
                std::sqrt((ex * ex + ey * ey + 1.0) * (tx[i] * tx[i] + ty[i] * ty[i] + 1.0));
            angles[i] = std::acos(std::clamp(dot / n, -1.0, 1.0)) * 180.0 / M_PI;
            sum += angles[i];
        }
        return sum / static_cast<double>(p.size());
    };
    double best = 0.0;
    double ps = 0.0, ts = 0.0;
    for (size_t i = 0; i < p.size(); ++i) {
        ps += p[i] * p[i] + q[i] * q[i];
        ts += tx[i] * tx[i] + ty[i] * ty[i];
    }
    if (ps > 0.0) {
        // golden-section search on log a around the ratio of the slopes' sizes
        double lo = std::log(std::sqrt(ts / ps)) - 4.0, hi = lo + 8.0;
        const double g = (std::sqrt(5.0) - 1.0) / 2.0;
        double c = hi - g * (hi - lo), d = lo + g * (hi - lo);
        double fc = evaluate(std::exp(c)), fd = evaluate(std::exp(d));
        for (int it = 0; it < 40; ++it) {
            if (fc < fd) {
                hi = d, d = c, fd = fc, c = hi - g * (hi - lo), fc = evaluate(std::exp(c));
            } else {
                lo = c, c = d, fc = fd, d = lo + g * (hi - lo), fd = evaluate(std::exp(d));
            }
        }
        best = std::exp(0.5 * (lo + hi));
        if (evaluate(0.0) < evaluate(best)) best = 0.0;
    }
    Score s;
    s.mean = evaluate(best);
    std::sort(angles.begin(), angles.end());
    s.p90 = angles[angles.size() * 9 / 10];
    return s;
}

float screen_azimuth(const Light& light) {
    return std::fmod(360.0f - light.azimuth_deg, 360.0f);
}

void convention_rows(const std::vector<Surface>& surfaces, uint32_t size) {
    std::printf(
        "| relief | suns judged directional | right end (within 90 degrees) | mean angle nothing "
        "given / light given |\n|---|--:|--:|--:|\n");
    uint32_t seed = 700;
    for (const auto& s : surfaces) {
        std::vector<float> gx, gy;
        slopes(s.height, gx, gy);
        int lit = 0, right = 0, count = 0;
        double found_sum = 0.0, given_sum = 0.0;
        for (float el : {25.0f, 40.0f}) {
            for (int i = 0; i < 8; ++i) {
                const Light light{"sun", false, 45.0f * static_cast<float>(i) + 10.0f, el};
                const Field photo = photograph(s, light, seed++);
                Img img(to_image(photo));
                rk::DelitLight found;
                rk::ImgbufPtr h = rk::make_image(size, size), hg = rk::make_image(size, size);
                rk::delit_heights(h.get(), img.p, {false, false, 3}, &found);
                rk::DelitSettings given{false, false, 3};
                given.azimuth = screen_azimuth(light);
                rk::delit_heights(hg.get(), img.p, given);
                Img hm(heights(img.p, HM_MODE_DELIT));
                Img n1(normals(hm.p)), n2(normals(hg.get()));
                found_sum += score(n1.p, gx, gy, size).mean;
                given_sum += score(n2.p, gx, gy, size).mean;
                ++count;
                if (found.directional > 0.0f) {
                    ++lit;
                    right += std::abs(std::remainder(found.azimuth - given.azimuth, 360.0)) < 90.0;
                }
            }
        }
        std::printf("| %s | %d of %d | %d of %d | %.2f / %.2f |\n", s.name.c_str(), lit, count,
                    right, lit, found_sum / count, given_sum / count);
    }
}

}  // namespace fidelity

namespace {

using namespace fidelity;

void save(const std::string& path, const imgbuf* img) {
    std::u16string wide(path.begin(), path.end());
    char16_t msg[256];
    core_saveimage_png(msg, 256, wide.c_str(), img);
    if (msg[0]) std::fprintf(stderr, "could not write %s\n", path.c_str());
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void time_methods(uint32_t size) {
    // a bricks photograph under the sun (then overcast) tiled up to size x size
    const auto surfaces = fidelity::make_surfaces(256);
    for (size_t li : {size_t{0}, size_t{4}}) {
        const Light light = fidelity::make_lights()[li];
        const Field photo = fidelity::photograph(surfaces[0], light, 1);
        imgbuf* big = create_imgbuf(size, size);
        for (uint32_t y = 0; y < size; ++y) {
            float* row = imgbuf_row(big, y);
            for (uint32_t x = 0; x < size; ++x) {
                const float v = photo.v[size_t{y % 256} * 256 + x % 256];
                row[4 * x] = row[4 * x + 1] = row[4 * x + 2] = v;
                row[4 * x + 3] = 1.0f;
            }
        }
        Img holder(big);
        double best[3] = {1e9, 1e9, 1e9};
        for (int rep = 0; rep < 3; ++rep) {
            for (int m = 0; m < 3; ++m) {
                const double t0 = cpu_seconds();
                if (m < 2) {
                    Img h(heights(big, m == 0 ? 7u : 8u));
                } else {
                    rk::ImgbufPtr a = rk::albedo_map(big, {});
                }
                best[m] = std::min(best[m], cpu_seconds() - t0);
            }
        }
        std::printf(
            "%s, %ux%u, CPU seconds (best of 3): luminance height map %.3f, delit %.3f (%.2f x), "
            "de-lit colour %.3f (%.2f x)\n",
            light.name.c_str(), size, size, best[0], best[1], best[1] / best[0], best[2],
            best[2] / best[0]);
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t size = 256, time_size = 0;
    std::string write_dir, set = "project", only;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc)
            size = static_cast<uint32_t>(std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--write") && i + 1 < argc)
            write_dir = argv[++i];
        else if (!std::strcmp(argv[i], "--set") && i + 1 < argc)
            set = argv[++i];
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            only = argv[++i];
        else if (!std::strcmp(argv[i], "--time") && i + 1 < argc)
            time_size = static_cast<uint32_t>(std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: rk_fidelity [--size N] [--write DIR] [--time N]\n");
            return 2;
        }
    }
    init();
    if (time_size) {
        time_methods(time_size);
        cleanup();
        return 0;
    }
    const bool own = set == "own";
    const auto surfaces = own ? make_own_surfaces(size) : make_surfaces(size);
    const auto lights = own ? make_own_lights() : make_lights();
    if (only == "convention") {
        convention_rows(make_convention_surfaces(size), size);
        cleanup();
        return 0;
    }
    if (only == "photometric" || only == "integration") {
        if (only == "photometric") photometric_rows(surfaces, size);
        if (only == "integration")
            integration_rows(surfaces, write_dir.empty() ? "/tmp" : write_dir);
        cleanup();
        return 0;
    }
    std::printf(
        "| surface | light | flat mean / p90 | luminance mean / p90 | delit mean / p90 | "
        "delit, light given | azimuth found | albedo error: photo, de-lit (ratio) |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    double sums[2][4] = {}, worst = -1e9, albedo_sums[2][2] = {}, albedo_worst[2] = {};
    int counts[2] = {}, right_end = 0, suns = 0, judged = 0;
    uint32_t seed = 100;
    for (const auto& s : surfaces) {
        std::vector<float> gx, gy;
        fidelity::slopes(s.height, gx, gy);
        for (const auto& light : lights) {
            const Field photo = fidelity::photograph(s, light, seed++);
            Img img(to_image(photo));
            Score sc[4];
            sc[0] = score(nullptr, gx, gy, size);
            for (int m = 0; m < 2; ++m) {
                Img h(heights(img.p, m == 0 ? 7u : HM_MODE_DELIT));
                Img n(h.p ? normals(h.p) : nullptr);
                sc[m + 1] = score(n.p, gx, gy, size);
                if (!write_dir.empty() && &s == &surfaces[0] && &light == &lights[0]) {
                    if (m == 0) save(write_dir + "/delit_photo.png", img.p);
                    const std::string stem = write_dir + (m == 0 ? "/luminance" : "/delit");
                    save(stem + "_height.png", h.p);
                    save(stem + "_normal.png", n.p);
                }
            }
            // The light given (suns only), and what the mode finds without it.
            rk::DelitLight found;
            {
                rk::ImgbufPtr h = rk::make_image(size, size);
                rk::delit_heights(h.get(), img.p, {false, false, 3}, &found);
            }
            sc[3] = sc[2];
            if (!light.overcast) {
                rk::ImgbufPtr h = rk::make_image(size, size);
                rk::DelitSettings given{false, false, 3};
                given.azimuth = screen_azimuth(light);
                rk::delit_heights(h.get(), img.p, given);
                Img n(normals(h.get()));
                sc[3] = score(n.p, gx, gy, size);
                const double off = std::abs(std::remainder(found.azimuth - given.azimuth, 360.0));
                right_end += off < 90.0;
                judged += found.directional > 0.0f;
                ++suns;
            }
            // The de-lit colour against the true albedo, beside the photograph's own.
            const int k = light.overcast ? 1 : 0;
            double ae[2] = {albedo_error(img.p, s.albedo), 1.0};
            {
                rk::ImgbufPtr a = rk::albedo_map(img.p, {});
                ae[1] = a ? albedo_error(a.get(), s.albedo) : 1.0;
                if (!write_dir.empty() && &s == &surfaces[0] && &light == &lights[0]) {
                    save(write_dir + "/delit_albedo.png", a.get());
                }
            }
            albedo_sums[k][0] += ae[0];
            albedo_sums[k][1] += ae[1];
            albedo_worst[k] = std::max(albedo_worst[k], ae[1] / ae[0]);
            std::printf(
                "| %s | %s | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f | %.1f / %.1f | %.0f (%.2f) | "
                "%.3f, %.3f (%.2f) |\n",
                s.name.c_str(), light.name.c_str(), sc[0].mean, sc[0].p90, sc[1].mean, sc[1].p90,
                sc[2].mean, sc[2].p90, sc[3].mean, sc[3].p90, found.azimuth, found.directional,
                ae[0], ae[1], ae[1] / ae[0]);
            for (int m = 0; m < 4; ++m) sums[k][m] += sc[m].mean;
            ++counts[k];
            worst = std::max(worst, sc[2].mean - sc[1].mean);
        }
    }
    for (int k = 0; k < 2; ++k) {
        std::printf("| **mean, %s** | | %.2f | %.2f | %.2f | %.2f | | %.3f, %.3f (%.2f) |\n",
                    k ? "overcast" : "sun", sums[k][0] / counts[k], sums[k][1] / counts[k],
                    sums[k][2] / counts[k], sums[k][3] / counts[k], albedo_sums[k][0] / counts[k],
                    albedo_sums[k][1] / counts[k], albedo_sums[k][1] / albedo_sums[k][0]);
    }
    std::printf(
        "\nazimuth found within 90 degrees of the true one: %d of %d suns (%d judged "
        "directional)\n",
        right_end, suns, judged);
    std::printf("\nlargest (delit - luminance) mean angle on one render: %+.1f degrees\n", worst);
    std::printf(
        "largest de-lit colour error over the photograph's on one render: %.2f (sun), %.2f "
        "(overcast)\n",
        albedo_worst[0], albedo_worst[1]);
    cleanup();
    return 0;
}
