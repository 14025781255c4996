// rk_height_map: the height-map pipeline with its options in a struct, into a
// new image or a caller's; rk_estimate_light: the light its de-lit mode takes;
// rk_height_and_albedo_maps(_into): the heights and the de-lit colour from one
// reading of the light.
#include <cmath>
#include <cstring>
#include <optional>

#include "common/rk_call.h"
#include "common/rk_params.h"
#include "heightmap/albedo.h"
#include "heightmap/delit.h"
#include "heightmap/heightmap.h"
#include "heightmap/rk_checked_params.h"
#include "heightmap/scratch.h"
#include "imgbuf/grey_packing.h"

using namespace rk;

namespace {

// The command's defaults (reliefkit --help).
constexpr rk_height_params kHeightDefaults{
    sizeof(rk_height_params), RK_HEIGHT_DELIT, 0, 0, 0, 1, 0.5f, 0, 0.0f, 1.0f, 5, 0.05f, 3,
    RK_BLUR_GAUSSIAN,         RK_EDGE_CLAMP,   NAN, NAN};

rk_height_params checked_params(const rk_height_params* given) {
    const rk_height_params p = params_or_defaults(given, kHeightDefaults, "rk_height_params");
    check_at_most(p.mode, RK_HEIGHT_DELIT, "mode");
    check_switch(p.invert_red, "invert_red");
    check_switch(p.invert_green, "invert_green");
    check_switch(p.invert_blue, "invert_blue");
    check_switch(p.auto_levels, "auto_levels");
    check_between(p.midpoint, 0.0f, 1.0f, "midpoint");
    check_switch(p.clamp, "clamp");
    check_between(p.clamp_low, 0.0f, 1.0f, "clamp_low");
    check_between(p.clamp_high, 0.0f, 1.0f, "clamp_high");
    check_at_most(p.detail_size, 99, "detail_size");
    check_between(p.detail_threshold, 0.0f, 0.5f, "detail_threshold");
    check_at_most(p.smooth_size, 99, "smooth_size");
    check_at_most(p.smooth_kind, RK_BLUR_TENT, "smooth_kind");
    check_at_most(p.edge_mode, RK_EDGE_WRAP, "edge_mode");
    check_between_or_nan(p.light_azimuth, -360.0f, 360.0f, "light_azimuth");
    check_between_or_nan(p.light_elevation, 1.0f, 90.0f, "light_elevation");
    return p;
}

HeightRecipe height_recipe(const rk_height_params* given) {
    const rk_height_params p = checked_params(given);
    const uint32_t flags = (p.auto_levels ? HM_AUTO_LEVELS : 0u) |
                           (p.invert_red ? HM_INVERT_RED : 0u) |
                           (p.invert_green ? HM_INVERT_GREEN : 0u) |
                           (p.invert_blue ? HM_INVERT_BLUE : 0u) | (p.clamp ? HM_CLAMP : 0u) |
                           (p.detail_size > 0 ? HM_DETAIL_FILTER : 0u) |
                           (p.smooth_size > 0 ? HM_SMOOTH : 0u);
    return {p.mode,        flags,         p.midpoint,       p.clamp_low,
            p.clamp_high,  p.detail_size, p.detail_threshold, false,
            p.smooth_size, p.smooth_kind, static_cast<EdgeMode>(p.edge_mode), p.light_azimuth};
}

rk_status make_heights(imgbuf* out, const imgbuf* src, const HeightRecipe& recipe,
                       float* delit_shading = nullptr) {
    switch (heights_into(out, src, recipe, delit_shading)) {
        case HeightOutcome::done:
            return RK_OK;
        case HeightOutcome::step_skipped:
            fail(RK_ERROR_MEMORY, "no memory for a blur of the height map");
        case HeightOutcome::failed:
            break;
    }
    fail(RK_ERROR_MEMORY, "no memory for the de-lit solve");
}

// The light the de-lit mode takes: a given one as given, else its estimate.
rk_light light_of(const imgbuf* photo, const rk_height_params& p) {
    rk_light light{sizeof(rk_light), NAN, p.light_elevation, 0.0f};
    if (!std::isnan(p.light_azimuth)) {
        light.azimuth = azimuth_within_a_turn(p.light_azimuth);
        light.directional = 1.0f;
        return light;
    }
    if (photo->width == 0 || photo->height == 0) return light;
    // The smoothing the heights are made with shapes the heights whose darker
    // parts decide which end of the axis is lit: without it the estimate can
    // name the opposite end from the one rk_height_map takes.
    const DelitSettings settings{p.edge_mode == RK_EDGE_WRAP, false, p.smooth_size, NAN};
    DelitLight found;
    if (!delit_light(photo, settings, &found)) fail(RK_ERROR_MEMORY, "no memory for the estimate");
    light.azimuth = found.azimuth;
    light.directional = found.directional;
    return light;
}

// The heights, and the de-lit colour written into albedo (checked: it may be
// the photograph, read to the end before any of its pixels is written) or,
// when albedo is null, a new image in *made_albedo, made once the solve's
// scratch is back.
ImgbufPtr heights_and_albedo(const imgbuf* photo, const rk_height_params* height_params,
                             const rk_albedo_params* albedo_params, imgbuf* albedo,
                             ImgbufPtr* made_albedo = nullptr) {
    const HeightRecipe recipe = height_recipe(height_params);
    const AlbedoSettings settings = checked_albedo_settings(albedo_params);
    // The colour's shading is the de-lit solve's when both read the light
    // alike: neither the heights' inversion nor their smoothing changes it,
    // but a scale of the colour's own does.
    const bool given = !std::isnan(recipe.light_azimuth);
    const bool shared = recipe.mode == HM_MODE_DELIT && settings.scale == 0 &&
                        (recipe.edge == EDGE_WRAP) == settings.wrap &&
                        given == !std::isnan(settings.azimuth) &&
                        (!given || recipe.light_azimuth == settings.azimuth);
    ImgbufPtr made = make_image(photo->width, photo->height);
    if (!made) fail(RK_ERROR_MEMORY, "no memory for the height map");
    std::optional<ScratchFloats> shading;
    if (shared) shading.emplace(size_t{photo->width} * photo->height);
    float* const plane = shading ? shading->get() : nullptr;
    make_heights(made.get(), photo, recipe, plane);
    bool coloured = false;
    if (albedo) {
        // The colour's working planes go into the height map's own pixels,
        // folded into their first quarter meanwhile, rather than beside it:
        // at the peak of a command making the whole material they were the
        // only memory past the height map's own peak, and the system zeroes
        // every such byte (in some virtual machines that cost more than
        // making the colour).
        const bool fold = foldable_grey(made.get());
        if (fold) fold_grey(made.get());
        const size_t pixels = size_t{photo->width} * photo->height;
        coloured = albedo_into(photo, settings, albedo, nullptr, plane,
                               fold ? made->pixels + pixels : nullptr);
        if (fold) unfold_grey(made.get());
    } else {
        *made_albedo = albedo_map(photo, settings, nullptr, plane);
        coloured = *made_albedo != nullptr;
    }
    if (!coloured) fail(RK_ERROR_MEMORY, "no memory for the de-lit colour");
    return made;
}

}  // namespace

extern "C" {

RK_API rk_status rk_height_params_init(rk_height_params* params, size_t struct_size) noexcept {
    return rk_call("rk_height_params_init", [&] {
        return init_params(params, struct_size, kHeightDefaults, "rk_height_params");
    });
}

RK_API rk_status rk_height_map(const imgbuf* src, const rk_height_params* params,
                               imgbuf** out) noexcept {
    return rk_call("rk_height_map", [&] {
        check_source(src, "src");
        require(out, "out");
        const HeightRecipe recipe = height_recipe(params);
        ImgbufPtr heights = make_image(src->width, src->height);
        if (!heights) fail(RK_ERROR_MEMORY, "no memory for the height map");
        make_heights(heights.get(), src, recipe);
        *out = heights.release();
        return RK_OK;
    });
}

RK_API rk_status rk_height_map_into(const imgbuf* src, const rk_height_params* params,
                                    imgbuf* dst) noexcept {
    return rk_call("rk_height_map_into", [&] {
        check_source(src, "src");
        const HeightRecipe recipe = height_recipe(params);
        // Each step but the de-lit solve reads a pixel before writing it and
        // never again, so the map may be made in place.
        if (recipe.mode == HM_MODE_DELIT && dst && dst->pixels == src->pixels) {
            fail(RK_ERROR_ARGUMENT, "the de-lit mode cannot write into src");
        }
        check_destination(dst, src, true);
        return make_heights(dst, src, recipe);
    });
}

RK_API rk_status rk_estimate_light(const imgbuf* photo, const rk_height_params* params,
                                   rk_light* out) noexcept {
    return rk_call("rk_estimate_light", [&] {
        check_source(photo, "photo");
        require(out, "out");
        check_struct_size(out->struct_size, sizeof(rk_light), "rk_light");
        const size_t size = out->struct_size;
        const rk_light light = light_of(photo, checked_params(params));
        std::memcpy(out, &light, size);  // at most sizeof light, as checked
        out->struct_size = static_cast<uint32_t>(size);
        return RK_OK;
    });
}

RK_API rk_status rk_height_and_albedo_maps(const imgbuf* photo,
                                           const rk_height_params* height_params,
                                           const rk_albedo_params* albedo_params,
                                           imgbuf** heights, imgbuf** albedo) noexcept {
    return rk_call("rk_height_and_albedo_maps", [&] {
        check_filled_source(photo, "photo");
        require(heights, "heights");
        require(albedo, "albedo");
        ImgbufPtr colour;
        ImgbufPtr made = heights_and_albedo(photo, height_params, albedo_params, nullptr, &colour);
        *heights = made.release();
        *albedo = colour.release();
        return RK_OK;
    });
}

RK_API rk_status rk_height_and_albedo_maps_into(const imgbuf* photo,
                                                const rk_height_params* height_params,
                                                const rk_albedo_params* albedo_params,
                                                imgbuf** heights, imgbuf* albedo) noexcept {
    return rk_call("rk_height_and_albedo_maps_into", [&] {
        check_filled_source(photo, "photo");
        require(heights, "heights");
        check_destination(albedo, photo, true, "albedo", "photo");
        *heights = heights_and_albedo(photo, height_params, albedo_params, albedo).release();
        return RK_OK;
    });
}

}  // extern "C"
