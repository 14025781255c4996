#include "pipeline_command.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "process_probe.h"
#include "settings.h"

namespace rkbench {
namespace {

std::vector<std::string> arguments(const std::string& command, const std::string& jpeg_path,
                                   const std::string& workdir) {
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
