// The de-lit colour's rk_ parameters, checked (a Failure of common/rk_call.h
// for a field out of range or a struct from a newer header) and turned into
// the generator's settings, for each export that takes them.
#pragma once

#include "heightmap/albedo.h"
#include "reliefkit.h"

namespace rk {

// params may be null: the defaults.
AlbedoSettings checked_albedo_settings(const rk_albedo_params* params);

// A light's azimuth of -360 to 360 degrees as 0 to 360 (360 excluded), as both
// the heights and the colour take it.
float azimuth_within_a_turn(float degrees) noexcept;

}  // namespace rk
