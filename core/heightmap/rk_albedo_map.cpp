// rk_albedo_map: the de-lit colour with its options in a struct.
#include <cmath>

#include "common/rk_call.h"
#include "common/rk_params.h"
#include "heightmap/albedo.h"
#include "heightmap/rk_checked_params.h"

using namespace rk;

namespace {

// The command's defaults: the light estimated, its fall-off taken out, its
// scale a share of the picture's side.
constexpr rk_albedo_params kAlbedoDefaults{sizeof(rk_albedo_params), RK_EDGE_CLAMP, NAN, 1, 0};

// The widest light taken out: the cavities' closing then holds rows of
// 2 * 4096 floats beside each of the picture's rows.
constexpr uint32_t kMostScale = 4096;

}  // namespace

namespace rk {

AlbedoSettings checked_albedo_settings(const rk_albedo_params* given) {
    const rk_albedo_params p = params_or_defaults(given, kAlbedoDefaults, "rk_albedo_params");
    check_at_most(p.edge_mode, RK_EDGE_WRAP, "edge_mode");
    // The heights' range, so that one light serves both.
    if (!std::isnan(p.light_azimuth)) check_between(p.light_azimuth, -360.0f, 360.0f, "light_azimuth");
    check_switch(p.flatten_light, "flatten_light");
    check_at_most(p.scale, kMostScale, "scale");
    AlbedoSettings settings;
    settings.wrap = p.edge_mode == RK_EDGE_WRAP;
    settings.azimuth = azimuth_within_a_turn(p.light_azimuth);
    settings.flatten_light = p.flatten_light != 0;
    settings.scale = p.scale;
    return settings;
}

float azimuth_within_a_turn(float degrees) noexcept {
    const float turn = std::fmod(degrees, 360.0f);
    const float within = turn < 0.0f ? turn + 360.0f : turn;
    // -1e-6 + 360 rounds up; -0 is no angle below 0 but is told as "-0".
    return within >= 360.0f || within == 0.0f ? 0.0f : within;
}

}  // namespace rk

extern "C" {

RK_API rk_status rk_albedo_params_init(rk_albedo_params* params, size_t struct_size) noexcept {
    return rk_call("rk_albedo_params_init", [&] {
        return init_params(params, struct_size, kAlbedoDefaults, "rk_albedo_params");
    });
}

RK_API rk_status rk_albedo_map(const imgbuf* photo, const rk_albedo_params* params,
                               imgbuf** out) noexcept {
    return rk_call("rk_albedo_map", [&] {
        check_filled_source(photo, "photo");
        require(out, "out");
        return hand_out(albedo_map(photo, checked_albedo_settings(params)), out, "the albedo map");
    });
}

}  // extern "C"
