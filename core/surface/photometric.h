// Photometric stereo: the normals, the colour and the heights of a surface
// from several photographs taken from one place, each under its own light.
#pragma once

#include <cstdint>
#include <vector>

#include "imgbuf/imgbuf.h"
#include "surface/light.h"

namespace rk {

// The most photographs one solve takes (a pixel's lights in use are a bit mask).
inline constexpr uint32_t kMostPhotographs = 32;

struct PhotometricSettings {
    bool wrap = false;      // the photographs tile: the heights are integrated periodically
    float elevation = NAN;  // degrees, for the lights given without one; NaN: 45
    float ambient = NAN;    // the even light's share (see below); NaN: estimated
    float outlier = 0.05f;  // a light the others mispredict by more (share of the albedo): dropped
};

struct PhotometricResult {
    ImgbufPtr normals;  // (0.5 + 0.5 x, 0.5 + 0.5 y, z, 1): x right, y down, as the generator's
    ImgbufPtr albedo;   // colour with the light divided out, 0..1 (the brightest 0.1 % at 1)
    ImgbufPtr heights;  // grey 0..1
    float height_range = 0.0f;        // what 1 in the height map stands for, in pixels
    float ambient = 0.0f;             // the ambient share used
    std::vector<LightAngles> lights;  // the lights used, given or estimated
};

// Each photograph is taken as I = albedo * (ambient + max(0, n . l)), with one
// ambient share (of the light reaching a surface that faces the lamp) for all
// of them, the usual state of a photograph taken indoors. Per pixel, a light
// whose reading differs from what the others predict by more than `outlier`
// of the albedo (a cast shadow: darker, down to the ambient light alone; a
// highlight: brighter) is dropped while at least three remain, and so is a
// light the solved normal faces away from whose reading is the ambient light
// alone (an attached shadow). Both kinds of shadow give the ambient share
// when it is not set. lights[i] gives photograph i's
// light; a NaN azimuth has it estimated (then every unknown light is found
// from the photographs together: see photometric.cpp), a NaN elevation takes
// settings.elevation. The photographs must have the same size (at least 3 of
// them, at most kMostPhotographs).
enum class PhotometricOutcome {
    solved,
    // The lights as used (estimated azimuths included) cannot tell a slope
    // across some plane: lights straight above, or from one side and its
    // opposite.
    lights_in_one_plane,
    // Lights to be estimated that the photographs do not show: no relief to
    // read them from, or lights from one side and its opposite only.
    lights_unknown,
    // The photographs are not as above, or memory ran out.
    failed,
};
PhotometricOutcome photometric_stereo(const imgbuf* const* photos, const LightAngles* lights,
                                      uint32_t count, const PhotometricSettings& settings,
                                      PhotometricResult& result) noexcept;

}  // namespace rk
