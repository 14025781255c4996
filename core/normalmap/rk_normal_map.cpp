// rk_normal_map: the normal-map pipeline with its options in a struct, into a
// new image or a caller's.
#include "common/rk_call.h"
#include "common/rk_params.h"
#include "normalmap/normalmap.h"

using namespace rk;

namespace {

// The command's defaults (reliefkit --help).
constexpr rk_normal_params kNormalDefaults{
    sizeof(rk_normal_params), 2.0f, 1, 0, 0, 0, RK_BLUR_GAUSSIAN, RK_EDGE_CLAMP};

NormalRecipe normal_recipe(const rk_normal_params* given) {
    const rk_normal_params p = params_or_defaults(given, kNormalDefaults, "rk_normal_params");
    check_above(p.strength, 0.0f, 10.0f, "strength");
    check_at_most(p.center_tap, 100, "center_tap");
    check_switch(p.invert_x, "invert_x");
    check_switch(p.invert_y, "invert_y");
    check_at_most(p.blur_size, 254, "blur_size");
    check_at_most(p.blur_kind, RK_BLUR_TENT, "blur_kind");
    check_at_most(p.edge_mode, RK_EDGE_WRAP, "edge_mode");
    return {p.strength,
            (static_cast<float>(p.center_tap) * 2.0f + 16.0f) / 9.0f,
            p.invert_x != 0,
            p.invert_y != 0,
            static_cast<KernelKind>(p.blur_kind),
            normal_blur_size(p.blur_size),
            static_cast<EdgeMode>(p.edge_mode)};
}

rk_status make_normals(imgbuf* out, const imgbuf* heights, const NormalRecipe& recipe) {
    if (!normals_into(out, heights, recipe)) fail(RK_ERROR_MEMORY, "no memory for the blur");
    return RK_OK;
}

}  // namespace

extern "C" {

RK_API rk_status rk_normal_params_init(rk_normal_params* params, size_t struct_size) noexcept {
    return rk_call("rk_normal_params_init", [&] {
        return init_params(params, struct_size, kNormalDefaults, "rk_normal_params");
    });
}

RK_API rk_status rk_normal_map(const imgbuf* heights, const rk_normal_params* params,
                               imgbuf** out) noexcept {
    return rk_call("rk_normal_map", [&] {
        check_source(heights, "heights");
        require(out, "out");
        const NormalRecipe recipe = normal_recipe(params);
        ImgbufPtr normals = make_image(heights->width, heights->height);
        if (!normals) fail(RK_ERROR_MEMORY, "no memory for the normal map");
        make_normals(normals.get(), heights, recipe);
        *out = normals.release();
        return RK_OK;
    });
}

RK_API rk_status rk_normal_map_into(const imgbuf* heights, const rk_normal_params* params,
                                    imgbuf* dst) noexcept {
    return rk_call("rk_normal_map_into", [&] {
        check_source(heights, "heights");
        const NormalRecipe recipe = normal_recipe(params);
        check_destination(dst, heights, true, "dst", "heights");  // the operator may work in place
        return make_normals(dst, heights, recipe);
    });
}

}  // extern "C"
