#include "farm_batch.h"

#include <chrono>
#include <exception>
#include <system_error>

#include "interrupt.h"
#include "output_key.h"
#include "shard.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> planned_outputs(const JobPlan& plan) {
    return plan.outputs();
}

// A listed or walked tree's maps go to folders of the same shape, made as needed.
std::string make_output_folders(const JobPlan& plan) {
    for (const fs::path& path : plan.outputs()) {
        const fs::path* out = &path;
        if (!out->has_parent_path() || path == plan.preview_out) continue;
        std::error_code ec;
        fs::create_directories(out->parent_path(), ec);
        if (ec) {
            return "cannot create the output directory " + printable(out->parent_path().string()) +
                   ": " + ec.message();
        }
    }
    return {};
}

}  // namespace

FarmBatch::FarmBatch(const Options& options,
                     const std::vector<std::pair<std::string_view, std::string>>& applied,
                     const std::vector<InputItem>& items, std::string version)
    : options_(options), key_(output_key(applied)), version_(std::move(version)) {
    for (const InputItem& item : items) shard_keys_.emplace(item.path, item.key);
}

std::string FarmBatch::start(std::vector<std::string>& warnings) {
    if (options_.farm.report) {
        if (std::string why = report_.open(*options_.farm.report); !why.empty()) return why;
        reporting_ = true;
    }
    if (options_.farm.skip_unchanged) {
        manifest_ = std::make_unique<Manifest>(options_.out_dir);
        if (!manifest_->warning().empty()) warnings.push_back(manifest_->warning());
    }
    return {};
}

std::vector<JobPlan> FarmBatch::share(std::vector<JobPlan> plans) const {
    const Shard shard = options_.farm.shard;
    if (shard.count == 1) return plans;
    std::vector<JobPlan> mine;
    for (JobPlan& plan : plans) {
        const auto key = shard_keys_.find(plan.input);
        if (shard_of(key != shard_keys_.end() ? key->second : plan.input, shard.count) ==
            shard.index) {
            mine.push_back(std::move(plan));
        }
    }
    return mine;
}

JobResult FarmBatch::run(const JobPlan& plan, const std::function<JobResult()>& job) {
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // The input's hash is taken before the job reads it: should the file change
    // meanwhile, the record names the older content and the next run remakes it.
    std::optional<MadeBy> made_by;
    if (manifest_ && plan.refusal.empty()) {
        if (const auto input_hash = file_xxh3(plan.input)) {
            made_by = MadeBy{plan.input, *input_hash, key_, version_};
            if (auto same = manifest_->unchanged(planned_outputs(plan), *made_by)) {
                report(plan, "skipped", std::move(*same), seconds(), {});
                return {};
            }
        }
    }
    JobResult result;
    result.failure = plan.refusal.empty() ? make_output_folders(plan) : std::string();
    if (result.ok()) {
        try {
            result = job();
        } catch (const std::exception& e) {
            result.failure = printable(plan.input) + ": " + printable(e.what());
        }
    }
    if (!reporting_ && !made_by) return result;
    std::vector<FileHash> written;
    bool all_hashed = true;
    for (const fs::path& path : result.written) {
        written.push_back({path, file_xxh3(path).value_or("")});
        all_hashed = all_hashed && !written.back().xxh3.empty();
    }
    if (made_by && result.ok() && all_hashed) {
        manifest_->record(written, *made_by);
        // A stop ends the process once this input is told: its record goes now.
        if (stop_requested()) (void)manifest_->flush();
    }
    report(plan, result.ok() ? "made" : "failed", std::move(written), seconds(), result.failure);
    return result;
}

void FarmBatch::report(const JobPlan& plan, std::string_view status, std::vector<FileHash> outputs,
                       double seconds, const std::string& error) {
    if (reporting_) report_.write({plan.input, status, std::move(outputs), seconds, error});
}

std::string FarmBatch::finish() {
    std::string failure;
    if (manifest_) {
        if (std::string why = manifest_->flush(); !why.empty()) failure = why;
    }
    if (reporting_) {
        if (std::string why = report_.close(); !why.empty())
            failure += (failure.empty() ? "" : "\n") + why;
    }
    return failure;
}

}  // namespace rkcli
