// rk_photometric_stereo and rk_height_from_normals: the surface generators
// with their options in structs, their results handed over whole.
#include <cmath>
#include <cstring>
#include <vector>

#include "common/rk_call.h"
#include "common/rk_params.h"
#include "surface/integrate_normals.h"
#include "surface/light.h"
#include "surface/photometric.h"

using namespace rk;

namespace {

static_assert(RK_MOST_PHOTOGRAPHS == kMostPhotographs);

// The defaults (reliefkit --photometric, --from-normal).
constexpr rk_photometric_params kPhotometricDefaults{
    sizeof(rk_photometric_params), NAN, NAN, 0.05f, RK_EDGE_CLAMP, 0, 0};
constexpr rk_integrate_params kIntegrateDefaults{sizeof(rk_integrate_params), 0, 0,
                                                 RK_NORMAL_BLUE_UNREAD, RK_EDGE_CLAMP};

rk_photometric_params photometric_params(const rk_photometric_params* given) {
    const rk_photometric_params p =
        params_or_defaults(given, kPhotometricDefaults, "rk_photometric_params");
    check_between_or_nan(p.elevation, 1.0f, 90.0f, "elevation");
    check_between_or_nan(p.ambient, 0.0f, 1.0f, "ambient");
    check_above(p.outlier, 0.0f, 1.0f, "outlier");
    check_at_most(p.edge_mode, RK_EDGE_WRAP, "edge_mode");
    check_switch(p.invert_x, "invert_x");
    check_switch(p.invert_y, "invert_y");
    return p;
}

std::string indexed(const char* name, uint32_t i) {
    return std::string(name) + "[" + decimal_text(i) + "]";
}

std::vector<LightAngles> given_lights(const float* azimuths, const float* elevations,
                                      uint32_t count) {
    std::vector<LightAngles> lights(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (azimuths) {
            check_between_or_nan(azimuths[i], -360.0f, 360.0f, indexed("azimuths", i).c_str());
            lights[i].azimuth = azimuths[i];
        }
        if (elevations) {
            check_between_or_nan(elevations[i], 1.0f, 90.0f, indexed("elevations", i).c_str());
            lights[i].elevation = elevations[i];
        }
    }
    return lights;
}

// Given azimuths are checked here with the elevations the solve will use (its
// own, else params->elevation, else 45 degrees): lights from four sides at 90
// degrees all stand straight above. With an azimuth to be estimated the solve
// checks the lights it found.
void check_spread(const std::vector<LightAngles>& lights, float elevation) {
    std::vector<LightVector> vectors;
    for (const LightAngles& l : lights) {
        if (std::isnan(l.azimuth)) return;
        const float e = !std::isnan(l.elevation) ? l.elevation
                        : !std::isnan(elevation) ? elevation
                                                 : 45.0f;
        vectors.push_back(light_vector(l.azimuth, e));
    }
    if (!lights_spread(vectors.data(), vectors.size())) {
        fail(RK_ERROR_ARGUMENT,
             "the lights given lie in one plane with the surface's normal (one azimuth, two "
             "opposite ones, or all nearly straight above): give lights from at least three "
             "sides, at lower elevations");
    }
}

// Negates red and green channels where asked (x and y of the normal).
void invert_normals(imgbuf* normals, bool x, bool y) {
    if (!x && !y) return;
    for (uint32_t row = 0; row < normals->height; ++row) {
        float* px = row_unchecked(normals, row);
        for (uint32_t i = 0; i < normals->width; ++i) {
            if (x) px[4 * i] = 1.0f - px[4 * i];
            if (y) px[4 * i + 1] = 1.0f - px[4 * i + 1];
        }
    }
}

// Fills as much of *out as its struct_size covers; the images past it are
// freed with `result`.
void hand_over(PhotometricResult& result, uint32_t count, rk_photometric_result* out) {
    const size_t size = out->struct_size;
    rk_photometric_result full{};
    full.struct_size = static_cast<uint32_t>(size);
    full.count = count;
    full.height_range = result.height_range;
    full.ambient = result.ambient;
    for (uint32_t i = 0; i < RK_MOST_PHOTOGRAPHS; ++i) {
        full.light_azimuth[i] = i < count ? result.lights[i].azimuth : NAN;
        full.light_elevation[i] = i < count ? result.lights[i].elevation : NAN;
    }
    auto take = [&](ImgbufPtr& image, imgbuf* rk_photometric_result::*field) {
        const size_t end = reinterpret_cast<const char*>(&(full.*field)) -
                           reinterpret_cast<const char*>(&full) + sizeof(imgbuf*);
        if (end <= size) full.*field = image.release();
    };
    take(result.normals, &rk_photometric_result::normal);
    take(result.albedo, &rk_photometric_result::albedo);
    take(result.heights, &rk_photometric_result::height);
    std::memcpy(out, &full, size);  // at most sizeof full, as checked
}

}  // namespace

extern "C" {

RK_API rk_status rk_photometric_params_init(rk_photometric_params* params,
                                            size_t struct_size) noexcept {
    return rk_call("rk_photometric_params_init", [&] {
        return init_params(params, struct_size, kPhotometricDefaults, "rk_photometric_params");
    });
}

RK_API rk_status rk_photometric_stereo(const imgbuf* const* photos, uint32_t count,
                                       const float* azimuths, const float* elevations,
                                       const rk_photometric_params* params,
                                       rk_photometric_result* out) noexcept {
    return rk_call("rk_photometric_stereo", [&] {
        require(photos, "photos");
        require(out, "out");
        check_struct_size(out->struct_size, sizeof(rk_photometric_result), "rk_photometric_result");
        if (count < 3 || count > RK_MOST_PHOTOGRAPHS) {
            fail(RK_ERROR_ARGUMENT, "count " + decimal_text(count) + " is not 3 to " +
                                        decimal_text(RK_MOST_PHOTOGRAPHS));
        }
        for (uint32_t i = 0; i < count; ++i) {
            check_source(photos[i], indexed("photos", i).c_str());
            if (photos[i]->width == 0 || photos[i]->height == 0) {
                fail(RK_ERROR_ARGUMENT, indexed("photos", i) + " is empty");
            }
            if (!same_size(photos[i], photos[0])) {
                fail(RK_ERROR_ARGUMENT,
                     indexed("photos", i) + " is " + decimal_text(photos[i]->width) + " x " +
                         decimal_text(photos[i]->height) + ", photos[0] " +
                         decimal_text(photos[0]->width) + " x " + decimal_text(photos[0]->height));
            }
        }
        const rk_photometric_params p = photometric_params(params);
        const std::vector<LightAngles> lights = given_lights(azimuths, elevations, count);
        check_spread(lights, p.elevation);
        PhotometricSettings settings;
        settings.wrap = p.edge_mode == RK_EDGE_WRAP;
        settings.elevation = p.elevation;
        settings.ambient = p.ambient;
        settings.outlier = p.outlier;
        PhotometricResult result;
        switch (photometric_stereo(photos, lights.data(), count, settings, result)) {
            case PhotometricOutcome::solved:
                break;
            case PhotometricOutcome::lights_in_one_plane:
                fail(RK_ERROR_ARGUMENT,
                     "the lights lie in one plane with the surface's normal at the elevation "
                     "used: give lower elevations, or lights from at least three sides");
            case PhotometricOutcome::lights_unknown:
                fail(RK_ERROR_ARGUMENT,
                     "the photographs do not tell where their lights are (no relief, or lights "
                     "from one side and its opposite): give every light's azimuth");
            // Every argument was checked above: what is left is memory.
            case PhotometricOutcome::failed:
                fail(RK_ERROR_MEMORY, "no memory for the solve");
        }
        invert_normals(result.normals.get(), p.invert_x != 0, p.invert_y != 0);
        hand_over(result, count, out);
        return RK_OK;
    });
}

RK_API rk_status rk_integrate_params_init(rk_integrate_params* params,
                                          size_t struct_size) noexcept {
    return rk_call("rk_integrate_params_init", [&] {
        return init_params(params, struct_size, kIntegrateDefaults, "rk_integrate_params");
    });
}

RK_API rk_status rk_height_from_normals(const imgbuf* normals, const rk_integrate_params* params,
                                        imgbuf** out, float* range) noexcept {
    return rk_call("rk_height_from_normals", [&] {
        check_source(normals, "normals");
        require(out, "out");
        const rk_integrate_params p =
            params_or_defaults(params, kIntegrateDefaults, "rk_integrate_params");
        check_switch(p.invert_x, "invert_x");
        check_switch(p.invert_y, "invert_y");
        check_at_most(p.blue, RK_NORMAL_BLUE_BIASED, "blue");
        check_at_most(p.edge_mode, RK_EDGE_WRAP, "edge_mode");
        float span = 0.0f;
        ImgbufPtr heights;
        if (normals->width != 0 && normals->height != 0) {
            const IntegrateSettings settings{p.edge_mode == RK_EDGE_WRAP, p.invert_x != 0,
                                             p.invert_y != 0, static_cast<NormalBlue>(p.blue)};
            heights = heights_from_normals(normals, settings, &span);
        } else {
            heights = make_image(normals->width, normals->height);
        }
        if (!heights) fail(RK_ERROR_MEMORY, "no memory for the heights");
        *out = heights.release();
        if (range) *range = span;
        return RK_OK;
    });
}

}  // extern "C"
