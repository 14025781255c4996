// One input from file to maps: load, resize, generate, save, preview.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "image.h"
#include "naming.h"
#include "options.h"

namespace rkcli {

struct JobResult {
    std::vector<std::filesystem::path> written;
    std::string failure;  // empty: every file was written; else the reason, possibly several lines

    bool ok() const { return failure.empty(); }
};

// Runs one planned input; any number may run at once. The height map is saved
// while the normal map is made and saved.
JobResult run_job(const JobPlan& plan, const Options& options);

// Loads an input as every mode does; else null, and failure says why in the
// command's words: the file cannot be opened, or the readers' reasons below
// "cannot read INPUT:".
Image load_input(const std::string& input, std::string& failure);

// How the command writes a map: its --depth, grey (the height map, from red)
// or RGB (the normal map, in its --channels order), zlib's default level.
rk_png_params command_png_params(const Options& options, uint32_t layout);

// Takes the maps of a job in place of its PNG files, for a host that shows
// them at once; each image lives only during the call.
class MapReceiver {
  public:
    virtual ~MapReceiver() = default;
    virtual void take_height(const imgbuf* map) = 0;
    virtual void take_normal(const imgbuf* map) = 0;
    // Occlusion, curvature, roughness, the de-lit colour and the packed map,
    // when the options ask for them.
    virtual void take_map(MapKind, const imgbuf*) {}
    // Asked between maps: once the host no longer wants them (its client went
    // away), no further map is begun and the job fails saying so.
    virtual bool wanted() const { return true; }
};

// The same on an image already loaded (plan.input then only names it in
// messages), so that a host holding the image makes exactly the command's
// files, or hands the maps to receiver instead of writing them.
JobResult run_job(Image loaded, const JobPlan& plan, const Options& options,
                  MapReceiver* receiver = nullptr);

}  // namespace rkcli
