// rk_ao_map, rk_curvature_map and rk_roughness_map: the material generators
// with their options in structs.
#include "common/rk_call.h"
#include "common/rk_params.h"
#include "material/ao.h"
#include "material/curvature.h"
#include "material/roughness.h"

using namespace rk;

namespace {

// The command's defaults (reliefkit --help), which are the generators' own.
constexpr rk_ao_params kAoDefaults{sizeof(rk_ao_params), AoSettings{}.depth, AoSettings{}.radius,
                                   AoSettings{}.directions, RK_EDGE_CLAMP};
constexpr rk_curvature_params kCurvatureDefaults{sizeof(rk_curvature_params),
                                                 CurvatureSettings{}.scale,
                                                 CurvatureSettings{}.strength, RK_EDGE_CLAMP};
constexpr rk_roughness_params kRoughnessDefaults{sizeof(rk_roughness_params),
                                                 RoughnessSettings{}.contrast,
                                                 RoughnessSettings{}.bias, RK_EDGE_CLAMP};

EdgeMode edge_of(uint32_t edge_mode) {
    check_at_most(edge_mode, RK_EDGE_WRAP, "edge_mode");
    return static_cast<EdgeMode>(edge_mode);
}

// A source no map can be made of, or a null out, is refused before the params.
void check_map_source(const imgbuf* src, const char* name, imgbuf** out) {
    check_filled_source(src, name);
    require(out, "out");
}

}  // namespace

extern "C" {

RK_API rk_status rk_ao_params_init(rk_ao_params* params, size_t struct_size) noexcept {
    return rk_call("rk_ao_params_init", [&] {
        return init_params(params, struct_size, kAoDefaults, "rk_ao_params");
    });
}

RK_API rk_status rk_ao_map(const imgbuf* heights, const rk_ao_params* params,
                           imgbuf** out) noexcept {
    return rk_call("rk_ao_map", [&] {
        check_map_source(heights, "heights", out);
        const rk_ao_params p = params_or_defaults(params, kAoDefaults, "rk_ao_params");
        check_between(p.depth, 0.0f, kAoMaxDepth, "depth");
        check_between(p.radius, kAoMinRadius, kAoMaxRadius, "radius");
        if (p.directions < kAoMinDirections || p.directions > kAoMaxDirections) {
            fail(RK_ERROR_ARGUMENT, "directions " + decimal_text(p.directions) + " is not " +
                                        decimal_text(kAoMinDirections) + " to " +
                                        decimal_text(kAoMaxDirections));
        }
        return hand_out(ao_map(heights, {p.depth, p.radius, p.directions, edge_of(p.edge_mode)}),
                        out, "the occlusion map");
    });
}

RK_API rk_status rk_curvature_params_init(rk_curvature_params* params,
                                          size_t struct_size) noexcept {
    return rk_call("rk_curvature_params_init", [&] {
        return init_params(params, struct_size, kCurvatureDefaults, "rk_curvature_params");
    });
}

RK_API rk_status rk_curvature_map(const imgbuf* heights, const rk_curvature_params* params,
                                  imgbuf** out) noexcept {
    return rk_call("rk_curvature_map", [&] {
        check_map_source(heights, "heights", out);
        const rk_curvature_params p =
            params_or_defaults(params, kCurvatureDefaults, "rk_curvature_params");
        if (p.scale < 3 || p.scale > 253) {
            fail(RK_ERROR_ARGUMENT, "scale " + decimal_text(p.scale) + " is not 3 to 253");
        }
        check_between(p.strength, 0.0f, kCurvatureMaxStrength, "strength");
        return hand_out(curvature_map(heights, {p.scale, p.strength, edge_of(p.edge_mode)}), out,
                        "the curvature map");
    });
}

RK_API rk_status rk_roughness_params_init(rk_roughness_params* params,
                                          size_t struct_size) noexcept {
    return rk_call("rk_roughness_params_init", [&] {
        return init_params(params, struct_size, kRoughnessDefaults, "rk_roughness_params");
    });
}

RK_API rk_status rk_roughness_map(const imgbuf* photo, const rk_roughness_params* params,
                                  imgbuf** out) noexcept {
    return rk_call("rk_roughness_map", [&] {
        check_map_source(photo, "photo", out);
        const rk_roughness_params p =
            params_or_defaults(params, kRoughnessDefaults, "rk_roughness_params");
        check_between(p.contrast, 0.0f, kRoughnessMaxContrast, "contrast");
        check_between(p.bias, -1.0f, 1.0f, "bias");
        return hand_out(roughness_map(photo, {p.contrast, p.bias, edge_of(p.edge_mode)}), out,
                        "the roughness map");
    });
}

}  // extern "C"
