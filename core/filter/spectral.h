// What the Fourier solves share: the grid an image is laid on (mirrored past
// the edges of a clamped image, continued periodically past those of a tiling
// one), the frequencies of its cells, and heights from slopes.
#pragma once

#include <cstdint>
#include <vector>

#include "filter/fourier_grid.h"

namespace rk {

// Whether n has no prime factor above 97: kissfft's own radices transform
// that length fast; FourierGrid takes any other through a chirp convolution.
bool small_factors(uint32_t n) noexcept;

// Index into 0..n-1 of any i, mirrored at both ends (period 2n: pixel -1 is
// pixel 0) or wrapped.
uint32_t fold(int64_t i, uint32_t n, bool wrap) noexcept;

// Signed angular frequency (radians per pixel) of index i of an n-point transform.
float frequency(uint32_t i, uint32_t n) noexcept;

// A w x h image laid on a Fourier grid without seams. Wrapped, it is the
// image itself (twice side by side when w is odd, as the real transform needs
// an even width); mirrored, the image and its three reflections (2w x 2h),
// which makes a clamped image periodic and smooth across its edges.
struct SpectralLayout {
    uint32_t width = 0, height = 0;  // of the image
    uint32_t grid_width = 0, grid_height = 0;
    bool wrap = false;

    SpectralLayout(uint32_t w, uint32_t h, bool wrap_edges) noexcept;
    // Column of the grid's column x (and row of its row y) in the image, and
    // the sign a slope across that axis takes there (-1 in a reflection).
    uint32_t source(uint32_t i, uint32_t n) const noexcept { return fold(i, n, wrap); }
    float mirror_sign(uint32_t i, uint32_t n) const noexcept {
        return wrap ? 1.0f : (i % (2 * n) < n ? 1.0f : -1.0f);
    }
};

// How a map's slopes were taken along one axis: central differences,
// (h[i + 1] - h[i - 1]) / 2 (this library's maps), or one-sided ones,
// h[i + 1] - h[i] (forward) or h[i] - h[i - 1] (backward), which other tools
// write (and which a map drawn green up turns the one into the other).
enum class SlopeStencil { central, forward, backward };

struct SlopeStencils {
    SlopeStencil x = SlopeStencil::central, y = SlopeStencil::central;
    // Central differences smoothed across their axis by (a, 1 - 2a, a): each
    // neighbour's weight a, 1/4 for Sobel's filter, 1/3 for Prewitt's
    // (common in image editors' normal map filters); 0: none.
    float across = 0.0f;
};

// The stencils a map's slopes fit: slopes of any surface taken with stencils
// X and Y have no curl under them (Y's difference of p equals X's of q), so
// the pair that leaves the least curl, weighed by how much each pair turns the
// map's rounding into curl, is the map's own. Central unless another pair
// leaves clearly less (a quarter), or one of the smoothings across (see
// SlopeStencils::across) much less (a fiftieth): maps with curl of their own
// (noise, painted detail) keep the central solve. Where the curl cannot tell
// (a smooth surface, which every stencil fits within the rounding), the
// edges decide: one-sided slopes of heights held at the edge are 0 along one
// edge and the whole step along the other. Maps under 3 x 3 are central.
// Deterministic for every thread count.
SlopeStencils fitting_stencils(const float* p, const float* q, uint32_t w, uint32_t h);

// Heights whose central differences match the slopes p = dh/dx and q = dh/dy
// (image y down) best in the least-squares sense, over the seamless layout of
// the image, mean zero. p, q and heights hold w * h floats, rows of w. The
// operator is central differences (i sin k per axis), the exact inverse of
// slopes taken that way; near the highest frequency, which central
// differences barely see, a small penalty keeps noise from being amplified.
// Throws std::bad_alloc when memory runs out; false when the transform's plans
// cannot be had.
// With one-sided stencils the axis's operator is that difference instead
// (1 - e^-ik, seen by every frequency): a clamped map's one-sided slope
// across its mirror is 0, so its last forward (first backward) slope is not
// read. With a smoothing across, each axis's operator is the central
// difference times the other axis's smoothing.
bool integrate_slopes(const float* p, const float* q, uint32_t w, uint32_t h, bool wrap,
                      float* heights, SlopeStencils stencils = {});

}  // namespace rk
