// The size an upload's header declares, read before anything is decoded, so
// that a small file claiming a huge image is refused before the library
// allocates for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace rkserve {

struct DeclaredSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// The width and height in a PNG, JPEG, DDS, JPEG XR or TGA header; nothing for
// other formats, or a header too short to tell (the readers then judge the
// file).
std::optional<DeclaredSize> declared_size(std::string_view bytes);

}  // namespace rkserve
