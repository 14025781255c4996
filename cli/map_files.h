// Which file each map of a job becomes: its name's suffix and its file kind,
// from --format and --depth or from an engine preset.
#pragma once

#include <string>

#include "engine_presets.h"
#include "options.h"

namespace rkcli {

// The kind of file the map is written as.
MapFile map_file_of(const Options& options, MapKind kind);

// "_height", "_ao", ..., and "_orm" or "_metallic" for the packed file, with
// the file kind's extension.
std::string map_file_suffix(const Options& options, MapKind kind);

// The packing of the packed file: the preset's, else ORM.
Packing packing_of(const Options& options);

}  // namespace rkcli
