// rk_threads_bench: what the library's threads buy, the command's wall time
// against its single-threaded codec floor, a batch's peak memory, and the
// size-99 Gaussian smoothing of each instruction-set build against OpenCV's
// single-threaded sepFilter2D. Beside each wall time: system time, page faults
// and peak memory. Prints Markdown tables; see bench/README.md.
//
//   --reps=N          repetitions (default 3); the fastest of each row counts
//   --samples=DIR     directory holding bricks.png (default docs/samples)
//   --command=PATH    the reliefkit command (default the one built beside)
//   --floor=PATH      the codec floor program (default rk_codec_floor built beside)
//   --inplace=PATH    the in-place pipeline (default rk_inplace_pipeline built beside)
//   --threads=A,B     thread counts compared (default 1 and every usable processor)
//   --batch=N         photographs in the batch row (default 16; 0: no batch rows)
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/thread_pool.h"
#include "filter/convolve.h"
#include "filter/kernel_cache.h"
#include "images.h"
#include "peer.h"
#include "process_probe.h"
#include "reliefkit.h"
#include "settings.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

// This process's system time (s) and page faults so far.
std::pair<double, double> kernel_usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6,
            static_cast<double>(u.ru_minflt + u.ru_majflt)};
}

// A field of /proc/self/status in MiB (VmRSS: resident now, VmHWM: the peak).
double status_mib(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key)) return std::stod(line.substr(key.size())) / 1024.0;
    return 0.0;
}

// Starts a new peak: VmHWM falls back to the resident size now (Linux 4.0 on).
void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// "wall S cpu S" from the codec floor program's output.
std::pair<double, double> floor_times(const std::string& log_path) {
    std::ifstream log(log_path);
    for (std::string word; log >> word;) {
        if (word != "wall") continue;
        double wall = 0.0, cpu = 0.0;
        log >> wall >> word >> cpu;
        return {wall, cpu};
    }
    throw std::runtime_error("no times from the codec floor in " + log_path);
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string cpu_line(const std::string& key) {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key)) return line.substr(line.find(':') + 2);
    return "unknown";
}

struct Img {
    imgbuf* p = nullptr;
    explicit Img(imgbuf* q = nullptr) : p(q) {}
    Img(Img&& o) noexcept : p(o.p) { o.p = nullptr; }
    Img& operator=(Img&& o) noexcept {
        std::swap(p, o.p);
        return *this;
    }
    ~Img() { delete_imgbuf(p); }
};

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

Img heightmap(const imgbuf* photo) {
    using H = rkbench::HeightSettings;
    return Img(calc_heightmap_from_photo(
        photo, H::mode, H::flags, H::midpoint, H::clamp_low, H::clamp_high, H::detail_size,
        H::detail_threshold, H::weight, H::weight, H::weight, H::smooth_size, H::smooth_kind));
}

Img normalmap(const imgbuf* height) {
    using N = rkbench::NormalSettings;
    return Img(calc_normalmap_from_heightmap(height, 0, 0, N::strength, N::center_tap, N::blur_size,
                                             N::blur_kind));
}

void save(const imgbuf* img, const std::string& path) {
    char16_t msg[256];
    core_saveimage_png(msg, 256, u16(path).c_str(), img);
    if (msg[0]) throw std::runtime_error("save failed: " + path);
}

// A file of header followed by the pixel bytes of a continuous matrix.
void write_raw(const std::string& path, const std::string& header, const cv::Mat& pixels) {
    std::ofstream out(path, std::ios::binary);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(pixels.data),
              static_cast<std::streamsize>(pixels.total() * pixels.elemSize()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// The 32-bit top-down true-colour TGA header of a side x side picture.
std::string tga_header(uint32_t side) {
    std::string h(18, '\0');
    h[2] = 2;
    h[12] = h[14] = static_cast<char>(side & 255);
    h[13] = h[15] = static_cast<char>(side >> 8);
    h[16] = 32;
    h[17] = 0x28;
    return h;
}

// The DDS header of a side x side picture with the pixel format words pf (from
// its flags on).
std::string dds_header(uint32_t side, std::array<uint32_t, 7> pf) {
    std::array<uint32_t, 32> words = {0x20534444u, 124, 0x1007, side, side};
    words[19] = 32;
    std::copy(pf.begin(), pf.end(), words.begin() + 20);
    std::string h;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) h += static_cast<char>(w >> (8 * i));
    return h;
}

}  // namespace

int main(int argc, char** argv) try {
    int reps = 3;
    std::string samples = RK_SAMPLES_DIR, command = RK_PIPELINE_COMMAND, floor = RK_CODEC_FLOOR;
    std::string inplace = RK_INPLACE_PIPELINE;
    std::vector<uint32_t> counts = {1, 0};
    int batch = 16;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.starts_with("--reps="))
            reps = std::stoi(a.substr(7));
        else if (a.starts_with("--samples="))
            samples = a.substr(10);
        else if (a.starts_with("--command="))
            command = a.substr(10);
        else if (a.starts_with("--floor="))
            floor = a.substr(8);
        else if (a.starts_with("--inplace="))
            inplace = a.substr(10);
        else if (a.starts_with("--batch="))
            batch = std::stoi(a.substr(8));
        else if (a.starts_with("--threads=")) {
            counts.clear();
            std::istringstream list(a.substr(10));
            for (std::string n; std::getline(list, n, ',');) counts.push_back(std::stoul(n));
        } else
            throw std::runtime_error("unknown argument " + a);
    }
    init();
    cv::setNumThreads(1);
    std::string dir = (std::filesystem::temp_directory_path() / "rkthreads.XXXXXX").string();
    if (!mkdtemp(dir.data())) throw std::runtime_error("no work directory");
    struct Remove {
        std::string d;
        ~Remove() { std::filesystem::remove_all(d); }
    } remove{dir};

    const uint32_t side = rkbench::kSide;
    rk::ImgbufPtr photo = rkbench::tiled_photo(samples + "/bricks.png", side);
    const std::string jpeg = dir + "/photo.jpg";
    const cv::Mat bgr = rkbench::to_bgr8(photo.get());
    cv::imwrite(jpeg, bgr, {cv::IMWRITE_JPEG_QUALITY, 95});
    // The same photograph as PNG (8-bit RGB), 32-bit TGA and A8R8G8B8 DDS, and
    // random DXT1 blocks, for the other readers' rows.
    const std::string png = dir + "/photo.png", tga = dir + "/photo.tga";
    const std::string dds = dir + "/photo.dds", dxt1 = dir + "/blocks.dds";
    cv::imwrite(png, bgr, {cv::IMWRITE_PNG_COMPRESSION, 6});
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    write_raw(tga, tga_header(side), bgra);
    write_raw(dds, dds_header(side, {0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000}), bgra);
    cv::Mat blocks(static_cast<int>(side / 4), static_cast<int>(side / 4 * 8), CV_8U);
    cv::randu(blocks, 0, 256);
    write_raw(dxt1, dds_header(side, {4, 0x31545844}), blocks);
    Img height = heightmap(photo.get());
    Img normal = normalmap(height.p);
    rk::ImgbufPtr random = rkbench::random_image(side, rkbench::kRandomSeed);
    rk::ImgbufPtr work = rkbench::image_like(random.get());
    // Asked for at each use: the "fresh memory" rows' cleanup() frees the kernels.
    const auto k99 = [] { return rk::kernel_cache_get(rk::KERNEL_GAUSSIAN, 99); };

    // Wall time of each row at each thread count, rows interleaved so that a
    // burst of other work on the machine hits all columns alike. Results are
    // freed at once, so from the second repetition on the block cache hands
    // each call the block of the call before; the "fresh memory" rows empty the
    // cache first (outside the clock), so that their results are faulted in.
    using Row = std::pair<std::string, std::function<void()>>;
    const std::string fresh = ", fresh memory";
    const std::vector<Row> rows = {
        {"calc_heightmap_from_photo", [&] { heightmap(photo.get()); }},
        {"calc_heightmap_from_photo" + fresh, [&] { heightmap(photo.get()); }},
        {"calc_normalmap_from_heightmap", [&] { normalmap(height.p); }},
        {"calc_normalmap_from_heightmap" + fresh, [&] { normalmap(height.p); }},
        {"Gaussian smoothing 99",
         [&] {
             const rk::BlurKernel* k = k99();
             rk::blur_in_bands(work.get(), k->weights4, k->size, k->norm);
         }},
        {"imgbuf_resample to 4095 x 4095", [&] { Img(imgbuf_resample(photo.get(), 4095, 4095)); }},
        {"load_image JPEG", [&] { Img(load_image(u16(jpeg).c_str())); }},
        {"load_image PNG", [&] { Img(load_image(u16(png).c_str())); }},
        {"load_image TGA", [&] { Img(load_image(u16(tga).c_str())); }},
        {"load_image DDS A8R8G8B8", [&] { Img(load_image(u16(dds).c_str())); }},
        {"load_image DDS DXT1", [&] { Img(load_image(u16(dxt1).c_str())); }},
        {"core_saveimage_png, height map", [&] { save(height.p, dir + "/h.png"); }},
        {"core_saveimage_png, normal map", [&] { save(normal.p, dir + "/n.png"); }},
    };
    std::map<std::pair<std::string, uint32_t>, double> best;
    auto keep = [&](const std::string& name, uint32_t n, double s) {
        auto [it, fresh] = best.try_emplace({name, n}, s);
        if (!fresh) it->second = std::min(it->second, s);
    };
    std::vector<uint32_t> resolved;
    for (uint32_t n : counts) {
        set_thread_count(n);
        resolved.push_back(get_thread_count());
    }
    for (int r = 0; r < reps; ++r) {
        for (const auto& [name, run] : rows) {
            for (uint32_t n : resolved) {
                std::memcpy(work->pixels, random->pixels, size_t{side} * side * 16);
                if (name.ends_with(fresh)) cleanup();
                set_thread_count(n);
                const double rss0 = status_mib("VmRSS:");
                reset_peak();
                const auto [sys0, faults0] = kernel_usage();
                const double p0 = process_cpu_seconds(), c0 = thread_cpu_seconds();
                const auto t0 = Clock::now();
                run();
                keep(name, n, seconds_since(t0));
                const auto [sys1, faults1] = kernel_usage();
                keep(name + "/sys", n, sys1 - sys0);
                keep(name + "/faults", n, faults1 - faults0);
                keep(name + "/peak", n, status_mib("VmHWM:") - rss0);
                // The busiest thread's CPU time: the caller's or, on two
                // threads, the worker's. On an idle machine the wall time
                // would be about this; on a loaded one it is what the split
                // itself allows.
                const double caller = thread_cpu_seconds() - c0;
                const double others = process_cpu_seconds() - p0 - caller;
                keep(name + "/cpu", n, n == 1 ? caller + others : std::max(caller, others));
            }
        }
        // The command on all threads, and its floor on one (libjpeg-turbo and
        // libpng alone), one after the other.
        set_thread_count(0);
        const auto figures =
            rkbench::run_timed({command, "--quiet", "--out-dir", dir, jpeg}, dir + "/command.log");
        if (figures.exit_status != 0) throw std::runtime_error("the command failed");
        keep("command", 0, figures.wall_seconds);
        keep("command peak MiB", 0, figures.max_rss_mib);
        keep("command cpu", 0, figures.cpu_seconds);
        keep("command sys", 0, figures.system_seconds);
        keep("command faults", 0, figures.page_faults);
        // The same maps with both generators in place: the same bytes.
        const std::string in_dir = dir + "/inplace";
        std::filesystem::create_directories(in_dir);
        const auto in_place = rkbench::run_timed({inplace, jpeg, in_dir}, dir + "/inplace.log");
        for (const char* name : {"/photo_height.png", "/photo_normal.png"}) {
            if (in_place.exit_status != 0 || file_bytes(in_dir + name) != file_bytes(dir + name))
                throw std::runtime_error("the in-place pipeline did not write the command's files");
        }
        keep("inplace", 0, in_place.wall_seconds);
        keep("inplace peak MiB", 0, in_place.max_rss_mib);
        keep("inplace cpu", 0, in_place.cpu_seconds);
        keep("inplace sys", 0, in_place.system_seconds);
        keep("inplace faults", 0, in_place.page_faults);
        const auto floor_figures = rkbench::run_timed(
            {floor, jpeg, dir + "/photo_height.png", dir + "/photo_normal.png", dir},
            dir + "/floor.log");
        if (floor_figures.exit_status != 0) throw std::runtime_error("the codec floor failed");
        const auto [floor_wall, floor_cpu] = floor_times(dir + "/floor.log");
        keep("floor", 0, floor_wall);
        keep("floor cpu", 0, floor_cpu);
    }
    // A batch of copies of the photograph on two workers against two of them,
    // once each (the figure that counts is the peak).
    std::vector<std::pair<int, rkbench::ProcessFigures>> batches;
    if (batch > 0) {
        std::vector<std::string> names;
        for (int i = 0; i < batch; ++i) {
            names.push_back(dir + "/batch" + std::to_string(i) + ".jpg");
            std::filesystem::copy_file(jpeg, names.back());
        }
        for (int count : {batch, std::min(batch, 2)}) {
            const std::string out = dir + "/batch";
            std::vector<std::string> args = {command, "--quiet", "-j", "2", "--out-dir", out};
            args.insert(args.end(), names.begin(), names.begin() + count);
            const auto figures = rkbench::run_timed(args, dir + "/batch.log");
            if (figures.exit_status != 0) throw std::runtime_error("the batch failed");
            batches.emplace_back(count, figures);
        }
    }

    std::cout << "- CPU: " << cpu_line("model name") << ", " << cpu_line("cpu MHz")
              << " MHz, usable processors " << rk::usable_processors() << "\n"
              << "- load average at the end: ";
    std::ifstream("/proc/loadavg") >> std::cout.rdbuf();
    const std::string cpu = cpu_line("model name");
    std::cout << "\n| operation, 4096 x 4096 (" << cpu << ") |";
    for (uint32_t n : resolved) std::cout << " " << n << " thread(s) |";
    std::cout << " speed-up | speed-up from busiest thread's CPU time | system time | page faults "
                 "| peak memory added |\n|---|";
    for (size_t i = 0; i <= resolved.size() + 4; ++i) std::cout << "--:|";
    std::cout << "\n";
    const uint32_t all = resolved.back();
    for (const auto& [name, run] : rows) {
        std::cout << "| " << name << " |";
        for (uint32_t n : resolved) std::cout << " " << best[{name, n}] * 1000 << " ms |";
        std::cout << " " << best[{name, resolved.front()}] / best[{name, all}] << " | "
                  << best[{name + "/cpu", resolved.front()}] / best[{name + "/cpu", all}] << " | "
                  << best[{name + "/sys", all}] * 1000 << " ms | " << best[{name + "/faults", all}]
                  << " | " << best[{name + "/peak", all}] << " MiB |\n";
    }
    const double floor_wall = best[{"floor", 0}];
    std::cout << "\n| whole command (" << cpu
              << ") | wall | codec floor, 1 thread | ratio | CPU time | system time | kernel share "
                 "| page faults | peak memory |\n|---|--:|--:|--:|--:|--:|--:|--:|--:|\n";
    for (auto [key, label] : {std::pair{"command", "`reliefkit photo.jpg`"},
                              {"inplace", "the same, generators in place (rk_inplace_pipeline)"}}) {
        const std::string k = key;
        const double wall = best[{k, 0}], cpu_s = best[{k + " cpu", 0}];
        const double sys = best[{k + " sys", 0}];
        std::cout << "| " << label << " | " << wall * 1000 << " ms | " << floor_wall * 1000
                  << " ms | " << wall / floor_wall << " | " << cpu_s * 1000 << " ms | "
                  << sys * 1000 << " ms | " << 100.0 * sys / cpu_s << " % | "
                  << best[{k + " faults", 0}] << " | " << best[{k + " peak MiB", 0}] << " MiB |\n";
    }
    std::cout << "\nThe floor's CPU time: " << best[{"floor cpu", 0}] * 1000 << " ms.\n";
    if (!batches.empty()) {
        std::cout << "\n| batch, `-j 2` (" << cpu
                  << ") | wall | CPU time | system time | page faults | peak memory |\n"
                     "|---|--:|--:|--:|--:|--:|\n";
        for (const auto& [count, f] : batches)
            std::cout << "| " << count << " photographs | " << f.wall_seconds * 1000 << " ms | "
                      << f.cpu_seconds * 1000 << " ms | " << f.system_seconds * 1000 << " ms | "
                      << f.page_faults << " | " << f.max_rss_mib << " MiB |\n";
    }

    // Size-99 smoothing, one thread, CPU time of this thread: each build of ours
    // against sepFilter2D; multiplies and adds per cycle at the nominal clock.
    set_thread_count(1);
    const double hz = std::stod(cpu_line("cpu MHz")) * 1e6;
    const double flops = 2.0 * 2.0 * 99 * 4 * double(side) * side;  // 2 passes, mul + add
    const cv::Mat taps = rkbench::peer::taps(rk::KERNEL_GAUSSIAN, 99);
    cv::Mat out;
    double cv_best = 1e9;
    for (int r = 0; r < reps; ++r) {
        const double t0 = thread_cpu_seconds();
        rkbench::peer::smooth(rkbench::as_mat(random.get()), out, taps);
        cv_best = std::min(cv_best, thread_cpu_seconds() - t0);
    }
    std::cout << "\n| size-99 Gaussian, 1 thread | CPU time | / OpenCV sepFilter2D | "
                 "multiplies and adds per cycle |\n|---|--:|--:|--:|\n"
              << "| OpenCV sepFilter2D | " << cv_best * 1000 << " ms | 1 | " << flops / cv_best / hz
              << " |\n";
    for (auto [path, name] :
         {std::pair{rk::CONVOLVE_AVX2, "AVX2"}, std::pair{rk::CONVOLVE_AVX512, "AVX-512"}}) {
        if (!rk::convolve_path_supported(path)) continue;
        double b = 1e9;
        for (int r = 0; r < reps; ++r) {
            std::memcpy(work->pixels, random->pixels, size_t{side} * side * 16);
            const rk::BlurKernel* k = k99();
            const double t0 = thread_cpu_seconds();
            rk::blur_in_bands_on(path, work.get(), k->weights4, k->size, k->norm);
            b = std::min(b, thread_cpu_seconds() - t0);
        }
        std::cout << "| ours, " << name << " | " << b * 1000 << " ms | " << b / cv_best << " | "
                  << flops / b / hz << " |\n";
    }
    cleanup();
    return 0;
} catch (const std::exception& e) {
    std::cerr << "rk_threads_bench: " << e.what() << "\n";
    return 1;
}
