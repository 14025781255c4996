// The de-lit colour (base colour) of one photograph: the colour with the
// light taken out, for a material's albedo map.
#pragma once

#include <cmath>

#include "heightmap/delit.h"
#include "imgbuf/imgbuf.h"

namespace rk {

struct AlbedoSettings {
    bool wrap = false;  // the photograph tiles: its edges are periodic
    // Where the light comes from, as DelitSettings::azimuth; NaN: estimated.
    float azimuth = NAN;
    // Take out a light that falls off across the photograph (a lamp's or a
    // flash's, a vignette's side, the sky's gradient): a plane fitted to the
    // logarithm of the de-shaded luminance. It also takes out a colour's own
    // change across the whole picture, which is rarer in a texture.
    bool flatten_light = true;
};

// The photograph divided by its light: per pixel, the shading of the relief
// under a directional light (delit_shading: the part of the shading that the
// light's direction explains) and the light that falls off across it; each colour
// channel divided alike, so the colour is kept. Scaled so that its mean
// luminance is the photograph's, clamped to 0..1; alpha is the photograph's.
// Under an even light there is no direction to read the relief's shading
// from, and only the slow light comes out. *light (when not null) receives
// the light used. Null when src has no pixels or memory runs out.
ImgbufPtr albedo_map(const imgbuf* src, const AlbedoSettings& settings,
                     DelitLight* light = nullptr) noexcept;

}  // namespace rk
