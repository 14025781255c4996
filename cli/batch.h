// Runs the planned inputs on worker threads; one input's failure never stops
// the others.
#pragma once

#include <functional>
#include <vector>

#include "console.h"
#include "job.h"
#include "naming.h"

namespace rkcli {

using JobRunner = std::function<JobResult(const JobPlan&)>;

// Worker threads for `requested` (0: one per processor), never more than inputs.
unsigned worker_count(unsigned requested, size_t inputs);

// Runs every plan with up to `workers` threads (fewer when a process limit
// allows no more, the caller's alone at worst), reports each outcome to the console
// as it finishes, and answers the tally; failed inputs are listed in input order.
BatchSummary run_batch(const std::vector<JobPlan>& plans, unsigned workers, const JobRunner& runner,
                       Console& console);

}  // namespace rkcli
