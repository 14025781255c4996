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
    uint32_t smooth_size = 0;  // a Gaussian about this wide (even: one less); < 3: none
    // Where the light comes from: degrees counter-clockwise on screen, 0 = from
    // the right edge, 90 = from the top edge; NaN: estimated over the whole
    // circle. A given light is taken as directional.
    float azimuth = NAN;
    // The local mean's radius in pixels; 0: a share of the larger side.
    uint32_t radius = 0;
};

// What the mode took the light to be.
struct DelitLight {
    float azimuth = NAN;       // as DelitSettings::azimuth, in [0, 360); NaN: an even light
    float directional = 0.0f;  // 0 even light .. 1 one direction (1 when the light is given)
};

// Writes into dst (same size as src) the heights whose derivative along the
// light is the photograph's shading (its luminance over its local mean, which
// takes out the colour and the slowly varying light), as grey (h, h, h, 1)
// with h in 0..1, and the light into *light when not null. Under a light
// judged even (directional 0, azimuth NaN) dst is left as it was: these
// heights are not the relief's there. False, with dst unchanged, when memory
// runs out.
//
// How directional the light is comes from two cues. An even light lights
// every side of the relief alike, so the steps in the shading are as often
// bright-to-dark as dark-to-bright along any line; a light from one side
// makes them one-sided (shadows end abruptly away from the light, edges
// turn abruptly out of it), which also gives the light's axis. A relief
// without edges (smooth waves, rolling grain) shows no one-sidedness; its
// light counts as directional only when one axis explains nearly all of the
// shading's spectrum. The heights of an even light are not these: the mode
// then uses the luminance map (blend_even_heights).
//
// Which end of the axis is lit cannot be told from Lambert shading (a bump
// lit from one side gives the same picture as a hollow lit from the other).
// Unless given, the end is chosen by the convention that the darker parts
// of the photograph lie lower: cast shadows fall on the ground beside a
// bump and on the floor of a hollow, and hollows see less of the sky. The
// estimate says which it took, so that the opposite azimuth can be given.
//
// With shading (w * h floats) not null, also writes there what delit_shading
// would for src and settings (which neither invert nor smooth_size change),
// from the same reading of the light: the shading's spectrum and the light
// are made once for both.
bool delit_heights(imgbuf* dst, const imgbuf* src, const DelitSettings& settings,
                   DelitLight* light = nullptr, float* shading = nullptr) noexcept;

// The light delit_heights takes for src, without its heights (the estimate
// costs most of the solve: the shading, its spectrum and the end's test).
// False when memory runs out.
bool delit_light(const imgbuf* src, const DelitSettings& settings, DelitLight* light) noexcept;

// The relief's shading as the directional reading explains it: per pixel
// (w * h floats, rows of src's width), the factor by which the light's
// direction brightens or darkens the surface there (1 where it is level or
// the light is even), scaled by how directional the light is. The slowly
// varying light is not in it. False when memory runs out.
bool delit_shading(const imgbuf* src, const DelitSettings& settings, float* shading,
                   DelitLight* light = nullptr) noexcept;

// Mixes heights (the directional reading above, in place) with even (the
// luminance map of the same photograph, same size): each scaled to a unit
// mean square gradient (read round the edges when wrap), weighted directional
// and 1 - directional, the sum scaled to 0..1.
void blend_even_heights(imgbuf* heights, const imgbuf* even, float directional,
                        bool wrap) noexcept;

}  // namespace rk
