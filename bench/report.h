// The printed result: one Markdown table of every comparison, then the targets
// with the ratios measured against them.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "collector.h"
#include "comparisons.h"
#include "process_probe.h"

namespace rkbench {

// The whole-command run: the fastest of its repetitions by CPU time, the
// largest peak memory seen.
struct PipelineRun {
    std::string what;  // the command measured, for the table's footnote
    double cpu_seconds = 0.0;
    double max_rss_mib = 0.0;
    double megapixels = 0.0;
};

// differences: Comparison::max_difference by label, for the rows it was run for.
void print_report(std::ostream& out, const std::vector<Comparison>& comparisons,
                  const BestTimeCollector& times, const std::map<std::string, double>& differences,
                  const std::optional<PipelineRun>& pipeline);

}  // namespace rkbench
