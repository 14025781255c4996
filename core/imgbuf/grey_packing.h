// A grey image folded into the first quarter of its own pixels and unfolded
// again, so that a step can use the other three quarters as scratch while the
// image waits: the de-lit colour's working planes sit in the height map's
// pixels, and a command making the whole material needs no memory for them
// beyond what the height map alone takes.
#pragma once

#include "imgbuf/imgbuf.h"

namespace rk {

// Whether img can be folded: it has pixels, its rows follow each other
// without a gap, and every pixel is grey and opaque (red, green and blue the
// same bits, alpha exactly 1), so that unfolding gives back the same bits.
bool foldable_grey(const imgbuf* img) noexcept;

// Pixel i's red to float i of the pixels (the first quarter); the rest of the
// pixels are then free until unfold_grey. Only for a foldable_grey image.
void fold_grey(imgbuf* img) noexcept;

// Float i of the first quarter back to pixel i as red, green and blue, alpha
// 1: the image as it was before fold_grey.
void unfold_grey(imgbuf* img) noexcept;

}  // namespace rk
