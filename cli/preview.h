// A shaded picture of a normal map, so that a person sees the relief at a glance.
#pragma once

#include <array>

#include "image.h"

namespace rkcli {

// How the library stored the normals: red and green hold 0.5 + 0.5 n; blue holds
// z itself, or 0.5 + 0.5 z once the normals were blurred and renormalised. The
// inversions are undone so that the preview shows the same relief whatever
// axis convention the map was made for.
struct NormalEncoding {
    bool blue_biased = false;
    bool inverted_x = false;
    bool inverted_y = false;
};

// Unit vector towards the light, in picture coordinates (x to the right, y down
// the picture, z towards the viewer): from the upper left, 35 degrees up.
inline constexpr std::array<float, 3> kLightDirection = {-0.57735026f, -0.57735026f, 0.57735026f};

// New image of the same size with Lambert shading max(0, n . light) of the
// decoded, normalised normals in red, green and blue and alpha 1; null when the
// image cannot be allocated.
Image render_preview(const imgbuf* normal_map, const NormalEncoding& encoding);

// New image of image repeated n x n times (n >= 1); null when it cannot be
// allocated.
Image tiled(const imgbuf* image, uint32_t n);

}  // namespace rkcli
