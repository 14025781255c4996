// The de-lit height mode: heights from the surface's shading with the light and
// the colour taken out (HM_MODE_DELIT of calc_heightmap_from_photo_ex).
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk {

struct DelitSettings {
    bool wrap = false;         // the photograph tiles: its edges are periodic
    bool invert = false;       // the relief upside down (all three invert flags)
    uint32_t smooth_size = 0;  // a Gaussian of about this width in pixels; < 3: none
};

// Writes the heights of src into dst (same size) as grey (h, h, h, 1) with h in
// 0..1. False, with dst unchanged, when memory runs out.
bool delit_heights(imgbuf* dst, const imgbuf* src, const DelitSettings& settings) noexcept;

}  // namespace rk
