// Everything the workers tell the user, serialised: written files on standard
// output, failures, a progress line on a terminal and the closing summary on
// standard error.
#pragma once

#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace rkcli {

struct ConsoleSettings {
    bool progress = false;  // redraw a progress line (standard error is a terminal)
    bool quiet = false;     // no written files, no summary
};

struct BatchSummary {
    size_t total = 0;
    size_t done = 0;
    std::vector<std::string> failed_inputs;
};

class Console {
  public:
    Console(std::ostream& out, std::ostream& err, ConsoleSettings settings);

    // One finished input; failure empty when it succeeded.
    void report(const std::string& input, const std::vector<std::filesystem::path>& written,
                const std::string& failure, size_t finished, size_t failed, size_t total);
    void summary(const BatchSummary& summary);

  private:
    void clear_progress();

    std::mutex lock_;
    std::ostream& out_;
    std::ostream& err_;
    ConsoleSettings settings_;
    bool progress_shown_ = false;
};

// 0 when every input was done, 1 when any failed.
int exit_status(const BatchSummary& summary);

}  // namespace rkcli
