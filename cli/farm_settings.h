// Settings for batches that outgrow one folder and one machine: where the
// inputs come from (lists, folder trees), which share of them this process
// takes, what it keeps about earlier runs and what it tells a machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rkcli {

// The K-th of N parts of the input list (1 <= K <= N); 1/1 is all of it.
struct Shard {
    uint32_t index = 1;
    uint32_t count = 1;

    bool operator==(const Shard&) const = default;
};

struct FarmSettings {
    std::vector<std::string> lists;  // --from-list files in order; "-" is standard input
    bool null_separated = false;     // the lists' paths end with NUL, not a line break
    bool recursive = false;          // folders among the inputs are walked for images
    Shard shard;
    bool skip_unchanged = false;        // keep a manifest in the output folder, redo only changes
    std::optional<std::string> report;  // JSON Lines file; "-" is standard output

    // Filled while the inputs are gathered, one per input: the folder under
    // the output folder that its maps go to, so that a listed or walked tree
    // keeps its shape. Empty: every map straight into the output folder.
    std::vector<std::string> out_subdirs;

    bool operator==(const FarmSettings&) const = default;
};

}  // namespace rkcli
