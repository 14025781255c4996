// Which files each input becomes, and the checks that keep a batch from
// destroying its own inputs or one result replacing another.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "options.h"

namespace rkcli {

// Arguments with wildcards that name no file are expanded (sorted); a pattern
// that matches nothing stays as it is, so that it fails under its own name.
std::vector<std::string> expand_inputs(const std::vector<std::string>& args);

// The name part of an input without its extension; with --from-height a
// trailing "_height" goes too, so that x_height.png gives x_normal.png.
std::string output_stem(const std::filesystem::path& input, bool from_height);

struct JobPlan {
    std::string input;
    std::filesystem::path height_out;   // empty: not written
    std::filesystem::path normal_out;   // empty: not written
    std::filesystem::path preview_out;  // empty: not written
    // The other maps by MapKind (kMapAo to kMapPacked; height and normal are
    // above), and the glTF file; empty: not written.
    std::array<std::filesystem::path, kMapPacked + 1> map_out;
    std::filesystem::path gltf_out;
    std::string refusal;  // why the input is not processed; empty: go ahead

    // Every file the plan writes, in the order they are made.
    std::vector<std::filesystem::path> outputs() const;
};

// One plan per distinct input, in order; an input named twice is processed
// once. An input is refused when one of its outputs is an input file or one
// that an earlier input writes.
std::vector<JobPlan> plan_jobs(const Options& options);

}  // namespace rkcli
