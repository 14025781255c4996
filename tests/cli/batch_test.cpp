#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#include "batch.h"
#include "console.h"

using rkcli::BatchSummary;
using rkcli::JobPlan;
using rkcli::JobResult;

namespace {

std::vector<JobPlan> plans_for(std::vector<std::string> inputs) {
    std::vector<JobPlan> plans;
    for (auto& input : inputs) {
        JobPlan plan;
        plan.input = std::move(input);
        plan.height_out = plan.input + "_height.png";
        plans.push_back(std::move(plan));
    }
    return plans;
}

// Stands in for the library: inputs starting with "bad" fail, "throw" throws.
JobResult fake_job(const JobPlan& plan) {
    if (plan.input.starts_with("throw")) throw std::runtime_error("out of luck");
    JobResult result;
    if (plan.input.starts_with("bad")) {
        result.failure = "cannot read " + plan.input;
    } else {
        result.written.push_back(plan.height_out);
    }
    return result;
}

}  // namespace

class Batch : public ::testing::TestWithParam<unsigned> {};

TEST_P(Batch, OneFailureDoesNotStopTheOthers) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    const auto plans = plans_for({"a", "bad1", "b", "throw", "c", "bad2", "d"});
    const BatchSummary summary = rkcli::run_batch(plans, GetParam(), fake_job, console);
    console.summary(summary);

    EXPECT_EQ(summary.total, 7u);
    EXPECT_EQ(summary.done, 4u);
    EXPECT_EQ(summary.failed_inputs, (std::vector<std::string>{"bad1", "throw", "bad2"}));
    EXPECT_EQ(rkcli::exit_status(summary), 1);
    for (const char* written : {"a_height.png\n", "b_height.png\n", "d_height.png\n"}) {
        EXPECT_NE(out.str().find(written), std::string::npos) << written;
    }
    EXPECT_NE(err.str().find("reliefkit: cannot read bad1\n"), std::string::npos);
    EXPECT_NE(err.str().find("reliefkit: throw: out of luck\n"), std::string::npos);
    EXPECT_NE(err.str().find("reliefkit: 4 of 7 inputs done; 3 failed:\n  bad1\n  throw\n  bad2\n"),
              std::string::npos)
        << err.str();
}

TEST_P(Batch, AllDoneExitsWithZero) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    const BatchSummary summary =
        rkcli::run_batch(plans_for({"a", "b", "c"}), GetParam(), fake_job, console);
    console.summary(summary);
    EXPECT_EQ(summary.done, 3u);
    EXPECT_EQ(rkcli::exit_status(summary), 0);
    EXPECT_EQ(err.str(), "reliefkit: 3 of 3 inputs done\n");
}

INSTANTIATE_TEST_SUITE_P(Workers, Batch, ::testing::Values(1u, 2u, 8u));

TEST(Batch, WorkersReallyRunAtOnce) {
    // Two jobs that each wait for the other to start can only finish in parallel.
    std::atomic<int> started{0};
    auto meet = [&](const JobPlan&) {
        ++started;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (started < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        JobResult result;
        if (started < 2) result.failure = "alone";
        return result;
    };
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    EXPECT_EQ(rkcli::run_batch(plans_for({"a", "b"}), 2, meet, console).done, 2u);
}

TEST(Batch, NothingToDo) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    const BatchSummary summary = rkcli::run_batch({}, 4, fake_job, console);
    EXPECT_EQ(summary.total, 0u);
    EXPECT_EQ(rkcli::exit_status(summary), 0);
}

struct WorkerCase {
    unsigned requested;
    size_t inputs;
    unsigned expected;  // 0: one per processor
};

void PrintTo(const WorkerCase& c, std::ostream* os) {
    *os << "-j " << c.requested << " for " << c.inputs;
}

class WorkerCount : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(WorkerCount, NeverMoreThanInputs) {
    const WorkerCase c = GetParam();
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    const unsigned expected =
        c.expected ? c.expected : static_cast<unsigned>(std::min<size_t>(processors, c.inputs));
    EXPECT_EQ(rkcli::worker_count(c.requested, c.inputs), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkerCount,
                         ::testing::Values(WorkerCase{1, 10, 1}, WorkerCase{4, 10, 4},
                                           WorkerCase{4, 2, 2}, WorkerCase{4, 0, 1},
                                           WorkerCase{0, 1, 1}, WorkerCase{0, 1000, 0}));

TEST(Console, ProgressLineOnlyWhenAskedAndClearedBeforeOtherText) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {.progress = true, .quiet = false});
    console.report("a.png", {"a_height.png"}, "", 1, 0, 3);
    console.report("bad.png", {}, "cannot read bad.png", 2, 1, 3);
    console.report("c.png", {"c_height.png"}, "", 3, 1, 3);
    EXPECT_EQ(err.str(),
              "reliefkit: 1/3 done (last: a.png)"
              "\r\033[K"
              "reliefkit: cannot read bad.png\n"
              "reliefkit: 2/3 done, 1 failed (last: bad.png)"
              "\r\033[K");
    EXPECT_EQ(out.str(), "a_height.png\nc_height.png\n");
}

TEST(Console, QuietKeepsOnlyFailures) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {.progress = false, .quiet = true});
    console.report("a.png", {"a_height.png"}, "", 1, 0, 2);
    console.report("bad.png", {}, "cannot read bad.png", 2, 1, 2);
    console.summary({.total = 2, .done = 1, .failed_inputs = {"bad.png"}});
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "reliefkit: cannot read bad.png\n");
}

TEST(Console, NoSummaryForASingleInput) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    console.summary({.total = 1, .done = 1, .failed_inputs = {}});
    EXPECT_EQ(err.str(), "");
}
