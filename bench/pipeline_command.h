// The whole-command measurement: a 4096 x 4096 JPEG turned into both maps by a
// separate process, for its CPU time and peak memory.
#pragma once

#include <optional>
#include <string>

#include "report.h"

namespace rkbench {

// Runs command (the reliefkit command or the pipeline driver, told apart by
// file name) on jpeg_path, writing into workdir, `repetitions` times. Nothing
// when a run fails (its output goes to stderr).
std::optional<PipelineRun> run_pipeline_command(const std::string& command,
                                                const std::string& jpeg_path,
                                                const std::string& workdir, int repetitions);

}  // namespace rkbench
