#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "batch.h"
#include "interrupt.h"

using rkcli::JobPlan;
using rkcli::JobResult;

namespace {

std::vector<JobPlan> plans_for(std::vector<std::string> inputs) {
    std::vector<JobPlan> plans(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) plans[i].input = inputs[i];
    return plans;
}

// Stands in for the library: "bad..." inputs fail, "throw..." throws.
JobResult fake_job(const JobPlan& plan) {
    if (plan.input.starts_with("throw")) throw std::runtime_error("out of luck");
    JobResult result;
    if (plan.input.starts_with("bad")) result.failure = "cannot read " + plan.input;
    if (!plan.input.starts_with("bad")) result.written.push_back(plan.input + "_height.png");
    return result;
}

}  // namespace

TEST(Batch, OneFailureDoesNotStopTheOthers) {
    for (unsigned workers : {1u, 3u, 8u}) {
        std::ostringstream out, err;
        rkcli::Console console(out, err, {});
        const auto summary = rkcli::run_batch(plans_for({"a", "bad1", "b", "throw", "c", "bad2"}),
                                              workers, fake_job, console);
        console.summary(summary);
        EXPECT_EQ(summary.done, 3u);
        EXPECT_EQ(summary.failed_inputs, (std::vector<std::string>{"bad1", "throw", "bad2"}));
        EXPECT_EQ(rkcli::exit_status(summary), 1);
        for (const char* line : {"a_height.png\n", "b_height.png\n", "c_height.png\n"})
            EXPECT_NE(out.str().find(line), std::string::npos) << line;
        EXPECT_NE(err.str().find("reliefkit: throw: out of luck\n"), std::string::npos);
        EXPECT_NE(err.str().find("reliefkit: 3 of 6 inputs done; 3 failed:\n  bad1\n  throw\n  bad2\n"),
                  std::string::npos)
            << err.str();
    }
}

// An empty batch (an empty folder, list or shard) succeeds and says so.
TEST(Batch, NothingToDoIsSaidUnlessQuiet) {
    for (const bool quiet : {false, true}) {
        std::ostringstream out, err;
        rkcli::Console console(out, err, {.progress = false, .quiet = quiet});
        const auto summary = rkcli::run_batch({}, 2, fake_job, console);
        console.summary(summary);
        EXPECT_EQ(rkcli::exit_status(summary), 0);
        EXPECT_EQ(err.str().find("no input to process") != std::string::npos, !quiet) << err.str();
    }
}

// An input stopped after its first save still has its files listed: the stop
// waits for its outcome, and a file nobody names would pass for an older run's.
TEST(BatchDeathTest, StopWaitsForTheOutcomeOfAnInputThatSaved) {
    auto saved_then_stopped = [](const JobPlan& plan) {
        if (rkcli::begin_save()) rkcli::end_save();
        ::kill(::getpid(), SIGTERM);
        while (!rkcli::stop_requested()) std::this_thread::yield();
        return JobResult{{plan.input + "_height.png"}, "the command was stopped"};
    };
    EXPECT_EXIT(
        {
            rkcli::end_batch_on_stop_signals();
            rkcli::Console console(std::cerr, std::cerr, {});
            rkcli::run_batch(plans_for({"a"}), 1, saved_then_stopped, console);
            ::pause();
        },
        testing::ExitedWithCode(128 + SIGTERM), "a_height\\.png\n.*reliefkit: stopped");
}

// After a stop, the inputs it kept from beginning count neither as done nor as failed.
TEST(BatchDeathTest, InputsAStopKeptFromBeginningAreNotDone) {
    EXPECT_EXIT(
        {
            rkcli::end_batch_on_stop_signals();
            (void)rkcli::begin_save();  // ended after the tally: the stop waits for it
            ::kill(::getpid(), SIGTERM);
            while (!rkcli::stop_requested()) std::this_thread::yield();
            rkcli::Console console(std::cerr, std::cerr, {});
            const auto s = rkcli::run_batch(plans_for({"a", "bad"}), 1, fake_job, console);
            std::cerr << s.done << " done, " << s.failed_inputs.size() << " failed\n";
            rkcli::end_save();
            ::pause();
        },
        testing::ExitedWithCode(128 + SIGTERM), "0 done, 0 failed\nreliefkit: stopped");
}

TEST(Batch, WorkersRunAtOnceButNeverMoreThanInputs) {
    // Two jobs that wait for each other can only both finish in parallel.
    std::atomic<int> started{0};
    auto meet = [&](const JobPlan&) {
        ++started;
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (started < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        return JobResult{{}, started < 2 ? "alone" : ""};
    };
    std::ostringstream out, err;
    rkcli::Console console(out, err, {});
    EXPECT_EQ(rkcli::run_batch(plans_for({"a", "b"}), 2, meet, console).done, 2u);
    EXPECT_EQ(rkcli::worker_count(4, 2), 2u);
    EXPECT_EQ(rkcli::worker_count(2, 10), 2u);
    EXPECT_EQ(rkcli::worker_count(4, 0), 1u);
    EXPECT_GE(rkcli::worker_count(0, 1000), 1u);
    // With no thread to be had (root is not held to the limit) the caller does all.
    const rlimit no_threads{0, 0};
    EXPECT_EXIT(_exit(setrlimit(RLIMIT_NPROC, &no_threads) || (!getuid() && setuid(65534)) ||
                      rkcli::run_batch(plans_for({"a", "b", "c"}), 3, fake_job, console).done != 3),
                testing::ExitedWithCode(0), "");
}

TEST(Console, ProgressLineIsClearedBeforeOtherTextAndAtTheEnd) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {.progress = true, .quiet = false});
    console.report("a.png", {"a_height.png"}, "", 1, 0, 3);
    console.report("bad.png", {}, "cannot read bad.png", 2, 1, 3);
    console.report("c.png", {"c_height.png"}, "", 3, 1, 3);
    EXPECT_EQ(err.str(),
              "reliefkit: 1/3 done (last: a.png)\r\033[K"
              "reliefkit: cannot read bad.png\n"
              "reliefkit: 2/3 done, 1 failed (last: bad.png)\r\033[K");
    EXPECT_EQ(out.str(), "a_height.png\nc_height.png\n");
}

// A file name is any bytes: its control characters and bytes that are not
// UTF-8 reach the terminal as text, never as commands or extra lines.
TEST(Console, NamesReachTheTerminalAsText) {
    std::ostringstream out, err;
    rkcli::Console console(out, err, {.progress = true, .quiet = false});
    console.report("t\x1b]0;x\x07.png", {"new\nline_height.png", "caf\xe9.png", "caf\xc3\xa9.png"},
                   "cannot read new\\nline.png:\n  \xc2\x9b" "2J", 1, 1, 2);
    console.summary({.total = 2, .done = 1, .failed_inputs = {"a\rb\x7f.png"}});
    EXPECT_EQ(out.str(), "new\\nline_height.png\ncaf\\xe9.png\ncaf\xc3\xa9.png\n");
    EXPECT_EQ(err.str(),
              "reliefkit: cannot read new\\nline.png:\n  \\xc2\\x9b2J\n"
              "reliefkit: 1/2 done, 1 failed (last: t\\x1b]0;x\\x07.png)\r\033[K"
              "reliefkit: 1 of 2 inputs done; 1 failed:\n  a\\rb\\x7f.png\n");
}
