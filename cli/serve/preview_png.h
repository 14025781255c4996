// PNG files of the preview maps, made for speed: the same 8-bit values as the
// command's files, compressed at zlib's fastest level, since the page needs
// them within a fraction of a second and they never leave this machine.
#pragma once

#include <string>

#include "options.h"
#include "reliefkit.h"

namespace rkserve {

// The red channel of a height map as an 8-bit grey PNG; empty without memory.
std::string fast_grey_png(const imgbuf* map);

// A normal map as an 8-bit RGB PNG with the file's channels picked as the
// command's --channels picks them; empty without memory.
std::string fast_rgb_png(const imgbuf* map, const rkcli::ChannelOrder& order);

}  // namespace rkserve
