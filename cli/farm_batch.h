// What lists, shards, the manifest and the report add around the jobs of a
// batch: this process's share of the plans, and per input the decision to
// skip it, its record in the manifest and its line in the report.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "input_list.h"
#include "job.h"
#include "manifest.h"
#include "naming.h"
#include "options.h"
#include "report.h"

namespace rkcli {

class FarmBatch {
  public:
    // applied: the options as parse_command_line records them; items: the
    // inputs as gathered.
    FarmBatch(const Options& options,
              const std::vector<std::pair<std::string_view, std::string>>& applied,
              const std::vector<InputItem>& items, std::string version);

    // Opens the report and reads the manifest; answers why the batch cannot
    // start (nothing is done then). Warnings, such as a damaged manifest that
    // is ignored, go to `warnings`.
    std::string start(std::vector<std::string>& warnings);
    bool report_on_standard_output() const { return report_.on_standard_output(); }

    // The plans of this process's shard, in their order (all without --shard).
    std::vector<JobPlan> share(std::vector<JobPlan> plans) const;

    // Runs job for plan unless the manifest finds its outputs up to date;
    // records and reports the outcome. Any number may run at once.
    JobResult run(const JobPlan& plan, const std::function<JobResult()>& job);

    // Writes what the manifest and the report still hold; answers why they
    // could not be written, empty when all went well.
    std::string finish();

  private:
    void report(const JobPlan& plan, std::string_view status, std::vector<FileHash> outputs,
                double seconds, const std::string& error);

    const Options& options_;
    std::vector<std::string> key_;  // output_key() of the run
    std::string version_;
    std::unordered_map<std::string, std::string> shard_keys_;  // input path -> its key
    std::unique_ptr<Manifest> manifest_;
    Report report_;
    bool reporting_ = false;
};

}  // namespace rkcli
