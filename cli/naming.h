// Which files each input becomes, and the checks that keep a batch from
// destroying its own inputs or one result replacing another.
#pragma once

#include <sys/types.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "options.h"

namespace rkcli {

// Identity of an existing file, shared by every name (link, hard link) it has;
// nothing when it does not exist.
using FileId = std::pair<dev_t, ino_t>;
std::optional<FileId> file_id(const std::filesystem::path& path);

// One spelling per place in the file system, for files that need not exist yet.
std::string place_key(const std::filesystem::path& path);

// Whether path is folder or lies inside it, by place.
bool lies_within(const std::filesystem::path& path, const std::filesystem::path& folder);

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

// Why --report cannot name the file it names, or empty: the report replaces
// its file before any map is made, so it must not be an input, a list, a
// planned output (the preview among them) nor the manifest or its lock.
std::string report_place_error(const Options& options, const std::vector<JobPlan>& plans);

}  // namespace rkcli
