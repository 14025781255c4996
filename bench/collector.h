// Keeps Google Benchmark's console output and remembers, for every benchmark,
// the fastest repetition: on a shared machine the minimum is the figure least
// disturbed by other processes.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rkbench {

class BestTimeCollector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override;

    // Seconds of CPU time per call of the named benchmark's fastest repetition,
    // or nothing when it did not run or failed.
    std::optional<double> best_seconds(const std::string& name) const;

  private:
    std::map<std::string, double> best_;
};

}  // namespace rkbench
