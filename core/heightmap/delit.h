// The de-lit height mode: heights from the surface's shading with the light and
// the colour taken out (HM_MODE_DELIT of calc_heightmap_from_photo_ex).
#pragma once

#include <cmath>
#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

struct DelitSettings {
    bool wrap = false;         // the photograph tiles: its edges are periodic
    bool invert = false;       // the relief upside down (all three invert flags)
    uint32_t smooth_size = 0;  // a Gaussian of about this width in pixels; < 3: none
    // Where the light comes from: degrees counter-clockwise on screen, 0 = from
    // the right edge, 90 = from the top edge; NaN: estimated over the whole
    // circle. A given light is taken as directional.
    float azimuth = NAN;
};

// What the mode took the light to be.
struct DelitLight {
    float azimuth = NAN;      // as DelitSettings::azimuth, in [0, 360)
    float directional = 0.0f;  // 0 even light (the shading read as heights) .. 1 one direction
};

// Writes the heights of src into dst (same size) as grey (h, h, h, 1) with h in
// 0..1, and the light into *light when not null. False, with dst unchanged,
// when memory runs out.
//
// Which end of the light's axis is lit cannot be told from Lambert shading
// (a bump lit from one side gives the same picture as a hollow lit from the
// other). Unless given, the end is chosen by the convention that the darker
// parts of the photograph lie lower: cast shadows fall on the ground behind
// a bump, and hollows see less of the sky. Where that cue is absent, the
// choice is as good as a coin's, and the estimate says which it took, so that
// the opposite azimuth can be given.
bool delit_heights(imgbuf* dst, const imgbuf* src, const DelitSettings& settings,
                   DelitLight* light = nullptr) noexcept;

}  // namespace rk
