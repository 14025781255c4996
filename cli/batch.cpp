#include "batch.h"

#include "interrupt.h"
#include "reliefkit.h"
#include "text_conversion.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

namespace rkcli {

unsigned worker_count(unsigned requested, size_t inputs) {
    // -j 0: one job per thread the library may keep busy (its affinity mask and
    // CPU quota, or --threads).
    const unsigned wanted = requested ? requested : std::max(1u, get_thread_count());
    return static_cast<unsigned>(std::clamp<size_t>(inputs, 1, wanted));
}

BatchSummary run_batch(const std::vector<JobPlan>& plans, unsigned workers, const JobRunner& runner,
                       Console& console) {
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
    std::atomic<size_t> failures{0};
    // One slot per input, no sharing between workers; an input a stop kept
    // from beginning stays neither done nor failed.
    enum class Outcome : char { not_begun, done, failed };
    std::vector<Outcome> outcomes(plans.size(), Outcome::not_begun);

    auto work = [&] {
        for (size_t i = next++; i < plans.size(); i = next++) {
            // While a stop waits for the inputs under way, none is begun.
            if (stop_requested()) break;
            const JobHold outcome_told;  // through the listing and the report
            JobResult result;
            try {
                result = runner(plans[i]);
            } catch (const std::exception& e) {
                result.failure = printable(plans[i].input) + ": " + printable(e.what());
            }
            const size_t failed_so_far = result.ok() ? failures.load() : ++failures;
            outcomes[i] = result.ok() ? Outcome::done : Outcome::failed;
            console.report(plans[i].input, result.written, result.failure, ++finished,
                           failed_so_far, plans.size());
        }
    };
    {
        std::vector<std::jthread> threads;
        // A worker that cannot be started (a process limit) leaves the inputs
        // to the threads there are, the calling one at least.
        for (unsigned t = 1; t < std::max(1u, workers); ++t) {
            try {
                threads.emplace_back(work);
            } catch (const std::exception&) {
                break;
            }
        }
        work();  // the calling thread is the first worker
    }

    BatchSummary summary;
    summary.total = plans.size();
    for (size_t i = 0; i < plans.size(); ++i) {
        if (outcomes[i] == Outcome::failed) summary.failed_inputs.push_back(plans[i].input);
        if (outcomes[i] == Outcome::done) ++summary.done;
    }
    return summary;
}

}  // namespace rkcli
