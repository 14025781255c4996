#include "console.h"

#include "text_conversion.h"

namespace rkcli {

Console::Console(std::ostream& out, std::ostream& err, ConsoleSettings settings)
    : out_(out), err_(err), settings_(settings) {}

void Console::clear_progress() {
    if (!progress_shown_) return;
    err_ << "\r\033[K" << std::flush;
    progress_shown_ = false;
}

void Console::report(const std::string& input, const std::vector<std::filesystem::path>& written,
                     const std::string& failure, size_t finished, size_t failed, size_t total) {
    std::lock_guard hold(lock_);
    clear_progress();
    if (!settings_.quiet) {
        for (const auto& path : written) out_ << printable(path.string()) << '\n';
        out_ << std::flush;
    }
    if (!failure.empty()) err_ << "reliefkit: " << printable(failure, true) << '\n' << std::flush;
    if (settings_.progress && finished < total) {
        err_ << "reliefkit: " << finished << "/" << total << " done";
        if (failed) err_ << ", " << failed << " failed";
        err_ << " (last: " << printable(input) << ")" << std::flush;
        progress_shown_ = true;
    }
}

void Console::summary(const BatchSummary& summary) {
    std::lock_guard hold(lock_);
    clear_progress();
    if (settings_.quiet) return;
    // Not a failure (a shard may hold none of the inputs), but a folder or
    // list given by mistake should not pass for a batch that ran.
    if (summary.total == 0) {
        err_ << "reliefkit: no input to process: the folders and lists given hold none for "
                "this run\n"
             << std::flush;
        return;
    }
    if (summary.total < 2) return;
    const size_t failed = summary.failed_inputs.size();
    err_ << "reliefkit: " << summary.done << " of " << summary.total << " inputs done";
    if (failed == 0) {
        err_ << '\n';
    } else {
        err_ << "; " << failed << " failed:\n";
        for (const std::string& input : summary.failed_inputs)
            err_ << "  " << printable(input) << '\n';
    }
    err_ << std::flush;
}

int exit_status(const BatchSummary& summary) {
    return summary.failed_inputs.empty() ? 0 : 1;
}

}  // namespace rkcli
