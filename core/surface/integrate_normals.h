// Heights from a tangent-space normal map: a scan's, a bake's or another
// tool's, 8 or 16 bit once loaded.
#pragma once

#include "imgbuf/imgbuf.h"

namespace rk {

// What a map's blue channel holds.
enum class NormalBlue {
    unread,  // nothing to rely on (a two-channel map): z from red and green
    z,       // z itself, 0..1 (the generator's maps without a blur)
    biased,  // 0.5 + 0.5 z (most tools' maps, and the generator's blurred ones)
};

struct IntegrateSettings {
    bool wrap = false;      // the map tiles: integrate periodically, else mirror the edges
    bool invert_x = false;  // red grows to the left
    bool invert_y = false;  // green grows up the picture (the convention of OpenGL and glTF)
    NormalBlue blue = NormalBlue::unread;
};

// Heights as grey (h, h, h, 1), h from 0 (lowest) to 1 (highest), same size as
// normals; *range (when not null) receives the relief's height from lowest to
// highest in pixels, what 1 in the map stands for. Red and green are read as
// 0.5 + 0.5 x and 0.5 + 0.5 y of the normal (x to the right, y down, or as the
// flags say); z is taken from them (x^2 + y^2 + z^2 = 1), since blue is
// written either as z or as 0.5 + 0.5 z, unless settings.blue says which:
// then the slopes are x / z and y / z as they stand, which stays right for a
// map whose normals were shortened (resampled, mipmapped, blurred without
// renormalising). z is taken as at least 0.1, that is slopes up to 84
// degrees. Null when normals has no pixels or memory runs out.
ImgbufPtr heights_from_normals(const imgbuf* normals, const IntegrateSettings& settings,
                               float* range = nullptr) noexcept;

// Writes (h, h, h, 1) of heights (w * h floats, rows of width) into dst,
// scaled to span 0..1; returns the span before scaling. Heights that span
// less than kLevelSpan pixels per pixel of the longer side are level (all 0,
// span 0): that is rounding, not relief.
inline constexpr float kLevelSpan = 1e-6f;
float write_unit_heights(imgbuf* dst, const float* heights) noexcept;

}  // namespace rk
