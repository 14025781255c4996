// rk_material_bench: the material generators on a 4096 x 4096 height map
// against the normal-map generator in the same run. Prints Markdown tables;
// see bench/README.md.
//
//   --reps=N        repetitions (default 5); the fastest of each row counts
//   --samples=DIR   directory holding bricks.png (default docs/samples)
//   --threads=A,B   thread counts (default 1 and every usable processor)
//   --side=N        image side (default 4096)
//   --only=TEXT     only the rows whose name holds TEXT (and the normal map)
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/thread_pool.h"
#include "material/ao.h"
#include "material/curvature.h"
#include "material/roughness.h"
#include "reliefkit.h"

namespace {

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

std::string cpu_line(const std::string& key) {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key)) return line.substr(line.find(':') + 2);
    return "unknown";
}

struct Owned {
    imgbuf* p = nullptr;
    explicit Owned(imgbuf* q) : p(q) {
        if (!p) throw std::runtime_error("a generator returned null");
    }
    Owned(Owned&& o) noexcept : p(o.p) { o.p = nullptr; }
    ~Owned() { delete_imgbuf(p); }
};

// The photograph repeated to fill side x side.
Owned tiled(const std::string& path, uint32_t side) {
    const std::u16string p16(path.begin(), path.end());
    Owned photo(load_image(p16.c_str()));
    Owned out(create_imgbuf(side, side));
    const uint32_t w = imgbuf_w(photo.p), h = imgbuf_h(photo.p);
    for (uint32_t y = 0; y < side; ++y) {
        const float* src = imgbuf_row(photo.p, y % h);
        float* dst = imgbuf_row(out.p, y);
        for (uint32_t x = 0; x < side; ++x)
            for (int c = 0; c < 4; ++c) dst[4 * x + c] = src[4 * (x % w) + c];
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) try {
    int reps = 5;
    uint32_t side = 4096;
    std::string samples = RK_SAMPLES_DIR;
    std::vector<uint32_t> counts = {1, 0};
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.starts_with("--reps="))
            reps = std::stoi(a.substr(7));
        else if (a.starts_with("--samples="))
            samples = a.substr(10);
        else if (a.starts_with("--side="))
            side = static_cast<uint32_t>(std::stoul(a.substr(7)));
        else if (a.starts_with("--only="))
            only = a.substr(7);
        else if (a.starts_with("--threads=")) {
            counts.clear();
            std::istringstream list(a.substr(10));
            for (std::string n; std::getline(list, n, ',');) counts.push_back(std::stoul(n));
        } else
            throw std::runtime_error("unknown argument " + a);
    }
    init();
    Owned photo = tiled(samples + "/bricks.png", side);
    // The command's defaults: luminance, auto-levels, detail 5 / 0.05,
    // Gaussian smoothing 3; normals of strength 2, centre tap 1, no blur.
    Owned height(calc_heightmap_from_photo(photo.p, 7,
                                           HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH, 0.5f,
                                           0.0f, 1.0f, 5, 0.05f, 1, 1, 1, 3, 0));
    const rk::AoSettings ao{16.0f, 64.0f, 16, rk::EDGE_CLAMP};
    // The command's default radius (the six-map command).
    const rk::AoSettings ao32{16.0f, 32.0f, 16, rk::EDGE_CLAMP};
    using Row = std::pair<std::string, std::function<void()>>;
    std::vector<Row> rows = {
        {"normal map (command defaults)",
         [&] { Owned(calc_normalmap_from_heightmap(height.p, 0, 0, 2, 1, 0, 0)); }},
        {"occlusion, K = 16, R = 64, D = 16", [&] { Owned(rk::ao_map(height.p, ao).release()); }},
        {"occlusion, K = 16, R = 32, D = 16", [&] { Owned(rk::ao_map(height.p, ao32).release()); }},
        // The eight-lane build beside the sixteen-lane one on AVX-512 machines.
        {"occlusion, K = 16, R = 64, D = 16, AVX2 build",
         [&] { Owned(rk::ao_map_on(rk::CONVOLVE_AVX2, height.p, ao).release()); }},
        {"occlusion, K = 16, R = 32, D = 16, AVX2 build",
         [&] { Owned(rk::ao_map_on(rk::CONVOLVE_AVX2, height.p, ao32).release()); }},
        {"curvature (defaults)",
         [&] { Owned(rk::curvature_map(height.p, rk::CurvatureSettings{}).release()); }},
        {"roughness (defaults)",
         [&] { Owned(rk::roughness_map(photo.p, rk::RoughnessSettings{}).release()); }},
    };
    std::erase_if(rows, [&](const Row& r) {
        return &r != &rows.front() && r.first.find(only) == std::string::npos;
    });
    std::vector<uint32_t> resolved;
    for (uint32_t n : counts) {
        set_thread_count(n);
        resolved.push_back(get_thread_count());
    }
    // CPU time of the whole process and wall time, rows interleaved so that a
    // burst of other work on the machine hits every row alike.
    std::map<std::pair<std::string, uint32_t>, std::pair<double, double>> best;
    for (int r = 0; r < reps; ++r) {
        for (const auto& [name, run] : rows) {
            for (uint32_t n : resolved) {
                set_thread_count(n);
                const double c0 = process_cpu_seconds();
                const auto t0 = std::chrono::steady_clock::now();
                run();
                const double wall =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                const double cpu = process_cpu_seconds() - c0;
                auto [it, fresh] = best.try_emplace({name, n}, cpu, wall);
                if (!fresh) {
                    it->second.first = std::min(it->second.first, cpu);
                    it->second.second = std::min(it->second.second, wall);
                }
            }
        }
    }
    std::cout << "- CPU: " << cpu_line("model name") << ", usable processors "
              << rk::usable_processors() << ", " << side << " x " << side << ", best of " << reps
              << "\n- load average at the end: ";
    std::ifstream("/proc/loadavg") >> std::cout.rdbuf();
    std::cout << "\n| operation |";
    for (uint32_t n : resolved) std::cout << " CPU, " << n << " thread(s) | wall |";
    std::cout << " / normal map (CPU, " << resolved.front() << ") |\n|---|";
    for (size_t i = 0; i < 2 * resolved.size() + 1; ++i) std::cout << "--:|";
    std::cout << "\n";
    const double normal = best[{rows.front().first, resolved.front()}].first;
    for (const auto& [name, run] : rows) {
        std::cout << "| " << name << " |";
        for (uint32_t n : resolved) {
            const auto [cpu, wall] = best[{name, n}];
            std::cout << " " << cpu * 1000 << " ms | " << wall * 1000 << " ms |";
        }
        std::cout << " " << best[{name, resolved.front()}].first / normal << " |\n";
    }
    cleanup();
    return 0;
} catch (const std::exception& e) {
    std::cerr << "rk_material_bench: " << e.what() << "\n";
    return 1;
}
