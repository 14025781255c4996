// reliefkit: photographs in, height maps and normal maps out.
#include <malloc.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#include "batch.h"
#include "console.h"
#include "farm_batch.h"
#include "farm_options.h"
#include "input_list.h"
#include "interrupt.h"
#include "job.h"
#include "naming.h"
#include "options.h"
#include "photometric_capture.h"
#include "reliefkit.h"
#include "serve/serve_command.h"
#include "text_conversion.h"

namespace {

constexpr int kUsageError = 2;

// The command's own messages told here are one line each: printed whole
// through printable(), so that a file name in them can neither drive the
// terminal nor take two lines.
void tell(const std::string& why) {
    std::cerr << "reliefkit: " << rkcli::printable(why) << '\n';
}

int usage_error(const std::string& why) {
    tell(why);
    std::cerr << rkcli::usage_text();
    return kUsageError;
}

// Keeps init and cleanup paired around all library work.
struct Library {
    Library() { init(); }
    ~Library() { cleanup(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

int run(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    // A file named serve is still an input as ./serve.
    if (!args.empty() && args[0] == "serve") return rkserve::serve_main(std::span(args).subspan(1));
    rkcli::ParseResult parsed = rkcli::parse_command_line(args);
    switch (parsed.action) {
        case rkcli::Action::help:
            std::cout << rkcli::help_text();
            return 0;
        case rkcli::Action::version:
            std::cout << "reliefkit " RELIEFKIT_VERSION_STRING "\n";
            return 0;
        case rkcli::Action::usage_error:
            return usage_error(parsed.error);
        case rkcli::Action::run:
            break;
    }
    // Only a run needs the signal thread: help, the version and a usage
    // error are told even when no thread can be started.
    rkcli::end_batch_on_stop_signals();  // before the library or a job makes a thread
    rkcli::Options& options = parsed.options;
    if (std::string why = rkcli::farm_usage_error(options); !why.empty()) return usage_error(why);
    const rkcli::GatheredInputs gathered = rkcli::gather_inputs(options, std::cin);
    if (!gathered.error.empty()) {
        tell(gathered.error);
        return 1;
    }
    rkcli::use_inputs(options, gathered.items);
    if (std::string why = rkcli::check_expanded_inputs(options); !why.empty()) {
        return usage_error(why);
    }
    // Planned before the report replaces its file, so that it can be checked
    // against every file the batch reads or writes.
    const std::vector<rkcli::JobPlan> all_plans =
        options.photometric ? std::vector<rkcli::JobPlan>() : rkcli::plan_jobs(options);
    if (std::string why = rkcli::report_place_error(options, all_plans); !why.empty()) {
        return usage_error(why);
    }

    std::error_code ec;
    std::filesystem::create_directories(options.out_dir, ec);
    if (ec) {
        std::cerr << "reliefkit: cannot create the output directory "
                  << rkcli::printable(options.out_dir) << ": " << ec.message() << '\n';
        return 1;
    }

    if (options.photometric) {
        const Library library;
        set_thread_count(options.threads);
        return rkcli::run_photometric(options, std::cout, std::cerr);
    }

    // The loaded library's, not the one this command was built with: a
    // library put in its place without a rebuild may make other maps.
    rkcli::FarmBatch farm(options, parsed.applied, gathered.items, rk_version_string());
    std::vector<std::string> warnings;
    if (std::string why = farm.start(warnings); !why.empty()) {
        tell(why);
        return 1;
    }
    for (const std::string& warning : warnings) tell(warning);
    // Planned over the whole list, so that every shard refuses the same inputs.
    const std::vector<rkcli::JobPlan> plans = farm.share(all_plans);
    const Library library;
    // One budget of threads for all jobs: a job thread inside the library
    // counts against it, and the library's workers only fill what is left.
    set_thread_count(options.threads);
    // The maps of one photograph follow one another, each with images and
    // scratch of the same few sizes: kept between calls, they are faulted in
    // once rather than per map. The library never lets kept memory raise the
    // peak, and the process ends with the batch.
    rk_set_kept_memory(size_t{1} << 30);
    std::ostream no_listing(nullptr);  // standard output carries the report alone
    rkcli::Console console(
        farm.report_on_standard_output() ? no_listing : std::cout, std::cerr,
        {.progress = plans.size() > 1 && ::isatty(STDERR_FILENO) == 1, .quiet = options.quiet});
    const rkcli::BatchSummary summary = rkcli::run_batch(
        plans, rkcli::worker_count(options.jobs, plans.size()),
        [&](const rkcli::JobPlan& plan) {
            return farm.run(plan, [&] { return rkcli::run_job(plan, options); });
        },
        console);
    // Once a stop came, the stopping thread ends the process as soon as the
    // inputs under way have told their outcome: a summary would appear or not
    // by chance, and the inputs a stop kept from beginning are not reported.
    if (!rkcli::stop_requested()) console.summary(summary);
    if (std::string why = farm.finish(); !why.empty()) {
        // Up to two messages, a line each, their names escaped where made.
        std::cerr << "reliefkit: " << rkcli::printable(why, true) << '\n';
        return 1;
    }
    return rkcli::exit_status(summary);
}

}  // namespace

int main(int argc, char** argv) {
    // A fixed threshold: blocks of 1 MiB and more (a photograph's planes of
    // scratch) go back to the system when freed. With glibc's sliding one, the
    // first such free raises it, the next photographs' planes come from the
    // heap, and a batch's peak grows with the number of photographs.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {
        tell(e.what());
    }
    rkcli::leave_the_end_to_a_stop();
    // What standard output was to carry (the written files, help) is part of
    // the result: a run that could not deliver it did not succeed.
    if (!std::cout.flush()) {
        std::cerr << "reliefkit: cannot write standard output\n";
        if (status == 0) status = 1;
    }
    return status;
}
