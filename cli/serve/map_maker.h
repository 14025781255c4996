// From uploaded bytes to the maps' PNG bytes, through the command's own job,
// so that the page's files are the command's files.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"
#include "options.h"
#include "scratch_dir.h"

namespace rkserve {

struct Decoded {
    rkcli::Image image;                    // null on failure
    std::vector<std::string> diagnostics;  // the readers' reasons
};

// Loads an upload held in memory. The library reads only from a path, so the
// bytes go to a file of the server's own naming in the scratch directory that
// is removed as soon as the image is loaded.
Decoded decode_upload(std::string_view bytes, ScratchDir& scratch);

// A copy whose long side is at most kPreviewLongSide (the image itself
// resampled, aspect kept; a plain copy when it is small enough), sized as
// `resize` would make it when that is given. Null without memory.
rkcli::Image preview_copy(const imgbuf* image, const std::optional<rkcli::Size>& resize);

// The maps the page shows besides height and normal, in this order.
inline constexpr std::array<rkcli::MapKind, 4> kPageMaps = {rkcli::kMapAo, rkcli::kMapCurvature,
                                                           rkcli::kMapRoughness, rkcli::kMapAlbedo};

struct MadeMaps {
    std::string height_png;
    std::string normal_png;
    std::array<std::string, 4> material_png;  // of kPageMaps
    std::string failure;  // the job's reason, with the library's diagnostics; empty on success
};

// Runs the command's job on `source` with `options` (input_name names it in
// messages) and answers the PNG files it wrote.
MadeMaps make_maps(rkcli::Image source, const rkcli::Options& options, std::string_view input_name,
                   ScratchDir& scratch);

// The same job for the page's preview: the maps are taken from the job
// rather than from its files and made into fast PNGs (the height map's while
// the normal map is being made).
MadeMaps make_preview_maps(rkcli::Image source, const rkcli::Options& options,
                           std::string_view input_name);

}  // namespace rkserve
