// From uploaded bytes to the maps' PNG bytes, through the command's own job,
// so that the page's files are the command's files. Everything stays in
// memory: the server makes no file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image.h"
#include "options.h"

namespace rkserve {

struct Decoded {
    rkcli::Image image;                    // null on failure
    std::vector<std::string> diagnostics;  // the readers' reasons, one a line
    rk_status status = RK_OK;              // why there is no image
};

// Loads an upload held in memory; every format is told by its content.
Decoded decode_upload(std::string_view bytes);

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

// Asked between maps: false once nobody waits for them, and the job stops.
using StillWanted = std::function<bool()>;

// Runs the command's job on `source` with `options` (input_name names it in
// messages) and answers the PNG files it would write, byte for byte.
MadeMaps make_maps(rkcli::Image source, const rkcli::Options& options, std::string_view input_name,
                   StillWanted wanted);

// The same job for the page's preview: 8-bit files of the same values,
// compressed at zlib's fastest level, since the page needs them within a
// fraction of a second and they never leave this machine.
MadeMaps make_preview_maps(rkcli::Image source, const rkcli::Options& options,
                           std::string_view input_name, StillWanted wanted);

}  // namespace rkserve
