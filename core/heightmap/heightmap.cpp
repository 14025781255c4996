#include "heightmap/heightmap.h"

#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "heightmap/convert.h"
#include "heightmap/delit.h"
#include "heightmap/height_blurs.h"
#include "heightmap/levels.h"

namespace rk {
namespace {

// The midpoint curve runs only further than epsilon from the neutral 0.5 (NaN
// included).
bool midpoint_is_neutral(float m) noexcept {
    return m >= 0.5f - kFloatEpsilon && m <= 0.5f + kFloatEpsilon;
}

// The de-lit mode makes its own heights under a directional light; of the
// steps after the conversion, the midpoint curve and the clamp apply as in
// the other modes (its heights already span 0..1, so auto-levels has nothing
// to do; its smoothing is part of its solve; the detail filter is not used).
// Under an even light, brightness does mean height: the mode gives the
// luminance map with the same settings, so that it is never worse than that
// map there; between the two, a mix by how directional the light looks.
HeightOutcome delit_into(imgbuf* out, const imgbuf* src, const HeightRecipe& r,
                         float* shading) noexcept {
    constexpr uint32_t kInvertAll = HM_INVERT_RED | HM_INVERT_GREEN | HM_INVERT_BLUE;
    constexpr uint32_t kLuminance = 7;
    const DelitSettings settings{r.edge == EDGE_WRAP, (r.flags & kInvertAll) == kInvertAll,
                                 (r.flags & HM_SMOOTH) ? r.smooth_size : 0u, r.light_azimuth};
    DelitLight light;
    if (!delit_heights(out, src, settings, &light, shading)) return HeightOutcome::failed;
    HeightRecipe luminance = r;
    luminance.mode = kLuminance;
    // Fewer than all three invert flags mean nothing to this mode, under any
    // light: the luminance map it falls back on must not read them either.
    if ((r.flags & kInvertAll) != kInvertAll) luminance.flags &= ~kInvertAll;
    if (!(light.directional > 0.0f)) return heights_into(out, src, luminance);
    HeightOutcome outcome = HeightOutcome::done;
    if (light.directional < 1.0f) {
        luminance.flags &= ~HM_CLAMP;
        luminance.midpoint = 0.5f;
        ImgbufPtr even = make_image(src->width, src->height);
        if (!even) return HeightOutcome::failed;
        outcome = heights_into(even.get(), src, luminance);
        if (outcome == HeightOutcome::failed) return outcome;
        blend_even_heights(out, even.get(), light.directional, settings.wrap);
    }
    if (!midpoint_is_neutral(r.midpoint)) midpoint_curve(out, r.midpoint);
    if (r.flags & HM_CLAMP) clamp_step(out, r.clamp_low, r.clamp_high);
    return outcome;
}

}  // namespace

// The steps run in a fixed order; each optional blur leaves the image as it
// was when it cannot get its kernel or temporary image. The source is only read.
HeightOutcome heights_into(imgbuf* out, const imgbuf* src, const HeightRecipe& r,
                           float* delit_shading) noexcept {
    if (src->width == 0 || src->height == 0) return HeightOutcome::done;
    if (r.black) {
        black_fill(out);
        return HeightOutcome::done;
    }
    if (r.mode == HM_MODE_DELIT) return delit_into(out, src, r, delit_shading);
    convert_to_height(out, src, conversion_variant(r.mode, r.flags));
    if (r.flags & HM_AUTO_LEVELS) auto_levels(out);
    if (!midpoint_is_neutral(r.midpoint)) midpoint_curve(out, r.midpoint);
    if (r.flags & HM_CLAMP) clamp_step(out, r.clamp_low, r.clamp_high);
    bool complete = true;
    if (r.flags & HM_DETAIL_FILTER) {
        complete = detail_filter(out, r.detail_size, r.detail_threshold, r.edge) && complete;
    }
    if ((r.flags & HM_SMOOTH) && r.smooth_kind <= KERNEL_TENT) {
        complete = final_smoothing(out, r.smooth_size, static_cast<KernelKind>(r.smooth_kind),
                                   r.edge) &&
                   complete;
    }
    return complete ? HeightOutcome::done : HeightOutcome::step_skipped;
}

}  // namespace rk

using namespace rk;

namespace {

// A new image for the recipe's heights of src; null for a null src, an image
// whose pixels are missing, or when memory runs out (or the de-lit solve finds
// none). A blur that is left out for want of memory still gives the map.
imgbuf* new_heightmap(const imgbuf* src, const HeightRecipe& recipe) {
    const LibraryCall busy;
    if (!src) return nullptr;
    const bool empty = src->width == 0 || src->height == 0;
    if (!empty && !src->pixels) return nullptr;
    ImgbufPtr out = make_image(src->width, src->height);
    if (!out || heights_into(out.get(), src, recipe) == HeightOutcome::failed) return nullptr;
    return out.release();
}

}  // namespace

extern "C" {

RK_API imgbuf* calc_heightmap_from_photo(const imgbuf* src, uint32_t mode, uint32_t flags,
                                         float midpoint, float clamp_low, float clamp_high,
                                         uint32_t detail_size, float detail_threshold,
                                         float weight1, float weight2, float weight3,
                                         uint32_t smooth_size, uint32_t smooth_kind) noexcept {
    if (mode > 7) return nullptr;  // the de-lit mode came with the _ex form
    return calc_heightmap_from_photo_ex(src, mode, flags, midpoint, clamp_low, clamp_high,
                                        detail_size, detail_threshold, weight1, weight2, weight3,
                                        smooth_size, smooth_kind, RK_EDGE_CLAMP);
}

RK_API imgbuf* calc_heightmap_from_photo_ex(const imgbuf* src, uint32_t mode, uint32_t flags,
                                            float midpoint, float clamp_low, float clamp_high,
                                            uint32_t detail_size, float detail_threshold,
                                            float weight1, float weight2, float weight3,
                                            uint32_t smooth_size, uint32_t smooth_kind,
                                            uint32_t edge_mode) noexcept {
    if (edge_mode > RK_EDGE_WRAP || mode > HM_MODE_DELIT) return nullptr;
    const bool black = near_zero(weight1) && near_zero(weight2) && near_zero(weight3);
    const HeightRecipe recipe{mode,        flags,       midpoint,         clamp_low,
                              clamp_high,  detail_size, detail_threshold, black,
                              smooth_size, smooth_kind, static_cast<EdgeMode>(edge_mode),
                              NAN};
    return guarded(static_cast<imgbuf*>(nullptr), [&] { return new_heightmap(src, recipe); });
}

}  // extern "C"
