// The in-place level adjustments of the height map. Each walks the image once
// and works on its red channel; none allocates.
#pragma once

#include "imgbuf/imgbuf.h"

namespace rk {

inline constexpr float kFloatEpsilon = 1.1920929e-7f;

// Within machine epsilon of zero, bounds included (NaN is not).
inline bool near_zero(float v) noexcept {
    return v >= -kFloatEpsilon && v <= kFloatEpsilon;
}

// Red, green and blue minus lo; alpha kept.
void level_shift(imgbuf* img, float lo) noexcept;
// Shifts the darkest red level (clamped to 0..1) to 0 unless the reds lie
// within 0.0001 of one another; the range is not stretched.
void auto_levels(imgbuf* img) noexcept;
// The two straight segments through (0, 0), (m, 0.5), (1, 1) applied to red,
// written into red, green and blue; alpha kept. m within epsilon of 0 or 1 does
// nothing.
void midpoint_curve(imgbuf* img, float m) noexcept;
// (c, c, c, 1) with c = red limited to high, then to at least low (NaN gives
// high; low > high gives low).
void clamp_step(imgbuf* img, float low, float high) noexcept;
// Every pixel (0, 0, 0, 1).
void black_fill(imgbuf* img) noexcept;

}  // namespace rk
