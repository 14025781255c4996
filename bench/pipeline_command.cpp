#include "pipeline_command.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "process_probe.h"
#include "reliefkit.h"
#include "settings.h"

namespace rkbench {
namespace {

std::string text_of(float v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

// The reliefkit command with the settings of settings.h spelled out, so that it
// does the work of the generator rows whatever its defaults are.
std::vector<std::string> command_arguments(const std::string& command, const std::string& jpeg_path,
                                           const std::string& workdir) {
    using H = HeightSettings;
    using N = NormalSettings;
    static_assert(H::mode == 7 && H::smooth_kind == 0 && N::blur_kind == 0,
                  "the option names below spell these settings");
    static_assert(H::flags == (HM_AUTO_LEVELS | HM_DETAIL_FILTER | HM_SMOOTH));
    return {command,
            "--quiet",
            "--out-dir",
            workdir,
            "--mode",
            "luminance",
            "--auto-levels",
            "--detail-size",
            std::to_string(H::detail_size),
            "--detail-threshold",
            text_of(H::detail_threshold),
            "--smooth-size",
            std::to_string(H::smooth_size),
            "--smooth-kind",
            "gaussian",
            "--strength",
            std::to_string(N::strength),
            "--center-weight",
            std::to_string(N::center_tap),
            "--normal-blur-size",
            std::to_string(N::blur_size),
            "--normal-blur-kind",
            "gaussian",
            jpeg_path};
}

// The reliefkit command, told by its file name, or the pipeline driver.
std::vector<std::string> arguments(const std::string& command, const std::string& jpeg_path,
                                   const std::string& workdir) {
    if (std::filesystem::path(command).filename() == "reliefkit")
        return command_arguments(command, jpeg_path, workdir);
    return {command, jpeg_path, workdir + "/height.png", workdir + "/normal.png"};
}

std::string joined(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        if (!text.empty()) text += ' ';
        text += a;
    }
    return text;
}

}  // namespace

std::optional<PipelineRun> run_pipeline_command(const std::string& command,
                                                const std::string& jpeg_path,
                                                const std::string& workdir, int repetitions) {
    const std::vector<std::string> args = arguments(command, jpeg_path, workdir);
    PipelineRun best;
    best.what = joined(args);
    best.megapixels = double{kSide} * kSide / 1e6;
    best.cpu_seconds = -1.0;
    const std::string log = workdir + "/command.log";
    for (int i = 0; i < repetitions; ++i) {
        const ProcessFigures f = run_timed(args, log);
        if (f.exit_status != 0) {
            std::ifstream text(log);
            std::cerr << joined(args) << " failed:\n" << text.rdbuf() << "\n";
            return std::nullopt;
        }
        best.cpu_seconds =
            best.cpu_seconds < 0 ? f.cpu_seconds : std::min(best.cpu_seconds, f.cpu_seconds);
        best.max_rss_mib = std::max(best.max_rss_mib, f.max_rss_mib);
    }
    return best;
}

}  // namespace rkbench
