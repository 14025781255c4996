// Runs a command under /usr/bin/time -v and reads back its CPU time (user and
// system), page faults and peak resident memory.
#pragma once

#include <string>
#include <vector>

namespace rkbench {

struct ProcessFigures {
    double cpu_seconds = 0.0;  // user + system
    double system_seconds = 0.0;
    double page_faults = 0.0;  // minor and major
    double wall_seconds = 0.0;
    double max_rss_mib = 0.0;  // the kernel's maximum resident set size
    int exit_status = -1;
};

// argv[0] is the program's path. Its output and time's report go to log_path,
// which is kept for inspection. Throws std::runtime_error when the command
// cannot be started or time's report is missing.
ProcessFigures run_timed(const std::vector<std::string>& argv, const std::string& log_path);

}  // namespace rkbench
