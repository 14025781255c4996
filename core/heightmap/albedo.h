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
    // Take out the darkening of the relief's cavities that every light leaves
    // (joints, cracks, gaps between stones see less of the sky; see
    // cavity_shading), the only shading an overcast sky gives.
    bool lift_cavities = true;
    // Take out a light that falls off across the photograph (a lamp's or a
    // flash's, a vignette's side, the sky's gradient): a plane fitted to the
    // logarithm of the de-shaded luminance, less kKeptTilt. A colour's own
    // change across the whole picture looks the same: the plane's smaller
    // part is left to it. Not under wrap: a plane does not tile.
    bool flatten_light = true;
    // The width in pixels of the light taken out (the local mean's radius,
    // twice the cavities' envelope radius); 0: a share of the larger side.
    uint32_t scale = 0;
};

// The part of the plane's tilt (its logarithm's change from the picture's
// centre to its edge, along the steepest way) left in: a colour's own drift
// over a texture (the benchmark's reach 0.07) stays, a light falling off by
// more than about a fifth over the picture goes, down to that.
inline constexpr float kKeptTilt = 0.1f;

// The photograph divided by its light: per pixel, the shading of the relief
// under a directional light (delit_shading: the part of the shading that the
// light's direction explains), the darkening of its cavities (cavity_shading,
// on the luminance with the directional shading divided out) and the light
// that falls off across it; each colour channel divided alike, so the colour
// is kept. Scaled so that its mean luminance is the photograph's, clamped to
// 0..1; alpha is the photograph's. Under an even light there is no direction
// to read the relief's shading from: the cavities and the slow light come
// out. *light (when not null) receives the light used. Null when src has no
// pixels or memory runs out.
//
// shading, when not null, is the relief's shading that delit_shading (or
// delit_heights) wrote for src with the same wrap and azimuth, taken instead
// of reading the light again, and worked on in place (it holds scratch
// afterwards); *light is then left as it was.
ImgbufPtr albedo_map(const imgbuf* src, const AlbedoSettings& settings,
                     DelitLight* light = nullptr, float* shading = nullptr) noexcept;

// The same written into out, an image of src's size that is src itself (the
// colour takes the photograph's place) or shares no pixel with it; the same
// bits; false when memory runs out. In place the photograph is written only
// once nothing can fail, so a failure leaves it as it was; its scratch (two
// planes of floats, three without a given shading) comes from the block cache,
// or is lent: three planes of src's pixel count that hold nothing else until
// the call returns, and nothing of use afterwards.
bool albedo_into(const imgbuf* src, const AlbedoSettings& settings, imgbuf* out,
                 DelitLight* light = nullptr, float* shading = nullptr,
                 float* lent = nullptr) noexcept;

}  // namespace rk
