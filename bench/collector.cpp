#include "collector.h"

#include <algorithm>

namespace rkbench {

void BestTimeCollector::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        // Single repetitions arrive as themselves; repeated ones as aggregates.
        const bool best = run.run_type == Run::RT_Iteration || run.aggregate_name == "min";
        if (!best || run.error_occurred || run.iterations == 0) continue;
        const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
        const std::string& name = run.run_name.function_name;
        const auto it = best_.find(name);
        best_[name] = it == best_.end() ? seconds : std::min(it->second, seconds);
    }
    ConsoleReporter::ReportRuns(runs);
}

std::optional<double> BestTimeCollector::best_seconds(const std::string& name) const {
    const auto it = best_.find(name);
    if (it == best_.end()) return std::nullopt;
    return it->second;
}

}  // namespace rkbench
