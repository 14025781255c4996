// The darkening of a relief's cavities under light from the whole sky: the
// part of a photograph's shading that no light direction explains.
#pragma once

#include <cstdint>

namespace rk {

// Writes into factor (w * h floats, rows of width w) the share of the light
// each pixel of lum (w * h luminances > 0, the shading of a directional light
// already divided out) is taken to lose to the relief around it, in (0, 1].
//
// Under an even sky a cavity (a joint, a crack, the gap between two stones)
// sees less of the sky than the open surface around it: it is darker than its
// surroundings by a factor that only the heights decide, whatever the light's
// direction. Its colour cannot be told from that darkening by brightness
// alone, so two things of relief are used:
// - the surface's envelope: the luminance closed with a square of side
//   2 r + 1, r = round(side / 32) or (scale + 1) / 2 of a given scale (the
//   largest maximum's smallest minimum around each pixel: side is the larger
//   of w and h) is the open surface's level, and
//   a pixel darker than it (q = envelope / luminance > 1) lies in a hollow
//   narrower than the square;
// - cavities are a minority of the surface: a darkening that most of a
//   neighbourhood shares (a stain, dark grain or stripes of the colour's own,
//   a relief of dense fine dents) is colour. The typical q is the median over
//   a neighbourhood of about 4 r (tiles of r pixels, four by four
//   around each of their corners, interpolated between corners), and only the
//   darkening beyond it is taken out: factor = min(1, median / q).
// The luminance is first smoothed with a 1-2-1 kernel each way so that noise
// and a colour's single dark pixels do not count as hollows (the factor is
// then smooth at that scale: the pixel's own detail stays). wrap: the picture
// tiles (neighbourhoods continue across the opposite edge), otherwise edge
// pixels continue outwards. scale: the de-lit colour's (AlbedoSettings::scale),
// 0 for a share of the side. Every thread count gives the same bits.
// factor may be lum (lum is read only before factor is written). scratch:
// w * h floats the call may overwrite, or null for its own. False when memory
// runs out (factor then unspecified).
bool cavity_shading(const float* lum, uint32_t w, uint32_t h, bool wrap, uint32_t scale,
                    float* factor, float* scratch = nullptr) noexcept;

}  // namespace rk
