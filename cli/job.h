// One input from file to maps: load, resize, generate, save, preview.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "naming.h"
#include "options.h"

namespace rkcli {

struct JobResult {
    std::vector<std::filesystem::path> written;
    std::string failure;  // empty: every file was written; else the reason, possibly several lines

    bool ok() const { return failure.empty(); }
};

// Runs one planned input; any number may run at once. The height map is saved
// while the normal map is made and saved.
JobResult run_job(const JobPlan& plan, const Options& options);

}  // namespace rkcli
