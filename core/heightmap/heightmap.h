// The height-map pipeline behind both interfaces: calc_heightmap_from_photo(_ex)
// make a new image and keep going when a blur finds no memory, rk_height_map
// (rk_height_map.cpp) also writes into a caller's image and reports it.
#pragma once

#include <cstdint>

#include "filter/edge_mode.h"
#include "imgbuf/imgbuf.h"

namespace rk {

// Every choice of the pipeline, checked by its caller.
struct HeightRecipe {
    uint32_t mode;   // 0..7, or HM_MODE_DELIT
    uint32_t flags;  // HM_*
    float midpoint;
    float clamp_low;
    float clamp_high;
    uint32_t detail_size;
    float detail_threshold;
    bool black;  // the weights were all zero: a black map
    uint32_t smooth_size;
    uint32_t smooth_kind;  // a KernelKind; another value skips the smoothing
    EdgeMode edge;
    // The de-lit mode's light: degrees counter-clockwise on screen from the
    // right edge; NaN: estimated (see delit.h).
    float light_azimuth;
};

enum class HeightOutcome {
    done,
    step_skipped,  // a blur could not get its kernel or scratch memory and was left out
    failed,        // the de-lit solve found no memory: out holds no height map
};

// Writes src's height map into out, which has src's size and pixels apart from
// src's (both with pixels unless empty). In the de-lit mode, delit_shading (w *
// h floats, when not null) also receives the relief's shading from the same
// reading of the light (see delit_heights); other modes leave it as it was.
HeightOutcome heights_into(imgbuf* out, const imgbuf* src, const HeightRecipe& recipe,
                           float* delit_shading = nullptr) noexcept;

}  // namespace rk
