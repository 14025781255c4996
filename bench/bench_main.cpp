// reliefkit against OpenCV, single-threaded, on 4096 x 4096 float RGBA images.
// Prints Google Benchmark's own lines while it runs, then one Markdown table and
// the targets. bench/run builds and runs it; see bench/README.md.
//
// Own flags (Google Benchmark's --benchmark_* flags work as usual):
//   --rk_reps=N         repetitions of every measurement (default 5); the
//                       fastest counts
//   --rk_samples=DIR    directory holding bricks.png (default docs/samples)
//   --rk_workdir=DIR    where the codec files go (default a fresh /tmp directory,
//                       removed at the end)
//   --rk_command=PATH   the program run for the whole-command row (default the
//                       reliefkit command when it is built, else the pipeline driver)
//   --rk_no_command     skip the whole-command row
//   --rk_no_check       skip the agreement column (one more call of each side)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string_view>
#include <thread>

#include "collector.h"
#include "comparisons.h"
#include "images.h"
#include "ours.h"
#include "peer.h"
#include "pipeline_command.h"
#include "reliefkit.h"
#include "report.h"
#include "settings.h"

namespace rkbench {
namespace {

struct Options {
    int repetitions = 5;
    std::string samples = RK_SAMPLES_DIR;
    std::string workdir;
    std::string command = RK_PIPELINE_COMMAND;
    bool run_command = true;
    bool check_agreement = true;
};

bool take(std::string_view arg, std::string_view name, std::string& value) {
    if (!arg.starts_with(name)) return false;
    value = std::string(arg.substr(name.size()));
    return true;
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string reps;
        if (take(arg, "--rk_reps=", reps)) {
            o.repetitions = std::max(1, std::stoi(reps));
            continue;
        }
        if (take(arg, "--rk_samples=", o.samples) || take(arg, "--rk_workdir=", o.workdir) ||
            take(arg, "--rk_command=", o.command))
            continue;
        if (arg == "--rk_no_command") {
            o.run_command = false;
        } else if (arg == "--rk_no_check") {
            o.check_agreement = false;
        } else {
            throw std::runtime_error("unknown argument " + std::string(arg));
        }
    }
    return o;
}

std::string first_line_with(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key)) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The vector extensions among the CPU's flags that matter to both libraries.
std::string vector_extensions() {
    std::istringstream flags(" " + first_line_with("/proc/cpuinfo", "flags") + " ");
    std::string found;
    for (std::string flag; flags >> flag;) {
        if (flag == "avx2" || flag == "fma" || flag == "avx512f" || flag == "avx512bw" ||
            flag == "avx512vl")
            found += (found.empty() ? "" : " ") + flag;
    }
    return found.empty() ? "none beyond SSE" : found;
}

void describe_machine(std::ostream& out, const Options& o) {
    out << "- CPU: " << first_line_with("/proc/cpuinfo", "model name") << ", "
        << std::thread::hardware_concurrency() << " logical CPUs, " << vector_extensions() << "\n"
        << "- OpenCV " << cv::getVersionString() << ", threads " << cv::getNumThreads()
        << ", CPU features: " << cv::getCPUFeaturesLine() << "\n"
        << "- reliefkit " << RELIEFKIT_VERSION_STRING << "\n"
        << "- times: CPU time of one call, fastest of " << o.repetitions << " repetitions\n";
}

// The agreement column, for the rows whose both sides ran and succeeded.
std::map<std::string, double> measure_differences(const std::vector<Comparison>& comparisons,
                                                  const BestTimeCollector& times) {
    std::map<std::string, double> differences;
    for (const Comparison& c : comparisons) {
        if (!c.max_difference || !times.best_seconds("ours/" + c.label) ||
            !times.best_seconds("peer/" + c.label))
            continue;
        try {
            differences[c.label] = c.max_difference();
        } catch (const std::exception& e) {
            std::cerr << "rk_bench: no agreement figure for " << c.label << ": " << e.what()
                      << "\n";
        }
    }
    return differences;
}

Inputs make_inputs(const Options& o, const std::string& workdir) {
    Inputs in;
    in.random = random_image(kSide, kRandomSeed);
    in.photo = tiled_photo(o.samples + "/bricks.png", kSide);
    in.height = image_like(in.photo.get());
    cv::Mat height_view = as_mat(in.height.get());
    peer::heightmap(as_mat(in.photo.get()), height_view);
    in.normal = ours::normalmap(in.height.get());
    in.work = image_like(in.photo.get());

    in.out_dir = workdir;
    in.jpeg_path = workdir + "/photo.jpg";
    in.png_path = workdir + "/photo.png";
    const cv::Mat bgr = to_bgr8(in.photo.get());
    if (!cv::imwrite(in.jpeg_path, bgr, {cv::IMWRITE_JPEG_QUALITY, 95}) ||
        !cv::imwrite(in.png_path, bgr, {cv::IMWRITE_PNG_COMPRESSION, 6}))
        throw std::runtime_error("cannot write the codec files into " + workdir);
    return in;
}

// The directory the codec files go to; one the benchmark made for itself is
// removed on every way out.
class Workdir {
  public:
    explicit Workdir(const std::string& chosen) : path_(chosen) {
        if (!path_.empty()) {
            std::filesystem::create_directories(path_);
            return;
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "rkbench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work directory");
        path_ = pattern;
        owned_ = true;
    }
    Workdir(const Workdir&) = delete;
    Workdir& operator=(const Workdir&) = delete;
    ~Workdir() {
        std::error_code ignored;
        if (owned_) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    bool owned_ = false;
};

int run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const Options o = parse_options(argc, argv);
    cv::setNumThreads(1);
    init();
    // Google Benchmark's CPU time is the calling thread's: the library's workers
    // would go uncounted, so both sides run on one thread.
    set_thread_count(1);

    const Workdir dir(o.workdir);
    const std::string& workdir = dir.path();
    Inputs inputs = make_inputs(o, workdir);
    const std::vector<Comparison> comparisons = register_comparisons(inputs, o.repetitions);

    const std::string load_before = load_average();
    BestTimeCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::map<std::string, double> differences;
    if (o.check_agreement) differences = measure_differences(comparisons, collector);
    std::optional<PipelineRun> pipeline;
    if (o.run_command)
        pipeline = run_pipeline_command(o.command, inputs.jpeg_path, workdir, o.repetitions);
    const std::string load_after = load_average();

    std::cout << "\n";
    describe_machine(std::cout, o);
    std::cout << "- load average (1, 5, 15 min) before: " << load_before
              << ", after: " << load_after << "\n\n";
    print_report(std::cout, comparisons, collector, differences, pipeline);

    benchmark::Shutdown();
    cleanup();
    return 0;
}

}  // namespace
}  // namespace rkbench

int main(int argc, char** argv) {
    try {
        return rkbench::run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "rk_bench: " << e.what() << "\n";
        return 1;
    }
}
