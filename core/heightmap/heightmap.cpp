#include "heightmap/convert.h"
#include "heightmap/delit.h"
#include "heightmap/height_blurs.h"
#include "heightmap/levels.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"

using namespace rk;

namespace {

// The midpoint curve runs only further than epsilon from the neutral 0.5 (NaN
// included).
bool midpoint_is_neutral(float m) noexcept {
    return m >= 0.5f - kFloatEpsilon && m <= 0.5f + kFloatEpsilon;
}

// The new image for src's heights, or null when src has pixels missing or
// memory runs out. finished says nothing more is to be done: the image is empty,
// or the weights are all zero and it is black.
ImgbufPtr new_height_image(const imgbuf* src, float weight1, float weight2, float weight3,
                           bool& finished) {
    finished = true;
    const bool empty = src->width == 0 || src->height == 0;
    if (!empty && !src->pixels) return nullptr;
    ImgbufPtr out = make_image(src->width, src->height);
    if (!out || empty) return out;
    if (near_zero(weight1) && near_zero(weight2) && near_zero(weight3)) {
        black_fill(out.get());
        return out;
    }
    finished = false;
    return out;
}

// The steps run on the new image in a fixed order; each optional one leaves the
// image as it was when it cannot get its kernel or temporary image. The source
// is only read.
imgbuf* make_heightmap(const imgbuf* src, uint32_t mode, uint32_t flags, float midpoint,
                       float clamp_low, float clamp_high, uint32_t detail_size,
                       float detail_threshold, float weight1, float weight2, float weight3,
                       uint32_t smooth_size, uint32_t smooth_kind, EdgeMode edge) {
    const LibraryCall busy;
    const ConvertRow variant = conversion_variant(mode, flags);
    if (!variant || !src) return nullptr;
    bool finished = false;
    ImgbufPtr out = new_height_image(src, weight1, weight2, weight3, finished);
    if (!out || finished) return out.release();
    convert_to_height(out.get(), src, variant);
    if (flags & HM_AUTO_LEVELS) auto_levels(out.get());
    if (!midpoint_is_neutral(midpoint)) midpoint_curve(out.get(), midpoint);
    if (flags & HM_CLAMP) clamp_step(out.get(), clamp_low, clamp_high);
    if (flags & HM_DETAIL_FILTER) detail_filter(out.get(), detail_size, detail_threshold, edge);
    if ((flags & HM_SMOOTH) && smooth_kind <= KERNEL_TENT) {
        final_smoothing(out.get(), smooth_size, static_cast<KernelKind>(smooth_kind), edge);
    }
    return out.release();
}

// The de-lit mode makes its own heights under a directional light; of the
// steps after the conversion, the midpoint curve and the clamp apply as in
// the other modes (its heights already span 0..1, so auto-levels has nothing
// to do; its smoothing is part of its solve; the detail filter is not used).
// Under an even light, brightness does mean height: the mode gives the
// luminance map with the same settings, so that it is never worse than that
// map there; between the two, a mix by how directional the light looks.
imgbuf* make_delit_heightmap(const imgbuf* src, uint32_t flags, float midpoint, float clamp_low,
                             float clamp_high, uint32_t detail_size, float detail_threshold,
                             float weight1, float weight2, float weight3, uint32_t smooth_size,
                             uint32_t smooth_kind, uint32_t edge_mode) {
    if (!src) return nullptr;
    const LibraryCall busy;
    bool finished = false;
    ImgbufPtr out = new_height_image(src, weight1, weight2, weight3, finished);
    if (!out || finished) return out.release();
    constexpr uint32_t kInvertAll = HM_INVERT_RED | HM_INVERT_GREEN | HM_INVERT_BLUE;
    const DelitSettings settings{edge_mode == RK_EDGE_WRAP, (flags & kInvertAll) == kInvertAll,
                                 (flags & HM_SMOOTH) ? smooth_size : 0u};
    DelitLight light;
    if (!delit_heights(out.get(), src, settings, &light)) return nullptr;
    constexpr uint32_t kLuminance = 7;
    const auto edge = static_cast<EdgeMode>(edge_mode);
    if (!(light.directional > 0.0f)) {
        return make_heightmap(src, kLuminance, flags, midpoint, clamp_low, clamp_high, detail_size,
                              detail_threshold, weight1, weight2, weight3, smooth_size, smooth_kind,
                              edge);
    }
    if (light.directional < 1.0f) {
        ImgbufPtr even(make_heightmap(src, kLuminance, flags & ~HM_CLAMP, 0.5f, 0.0f, 1.0f,
                                      detail_size, detail_threshold, weight1, weight2, weight3,
                                      smooth_size, smooth_kind, edge));
        if (!even) return nullptr;
        blend_even_heights(out.get(), even.get(), light.directional);
    }
    if (!midpoint_is_neutral(midpoint)) midpoint_curve(out.get(), midpoint);
    if (flags & HM_CLAMP) clamp_step(out.get(), clamp_low, clamp_high);
    return out.release();
}

}  // namespace

extern "C" {

RK_API imgbuf* calc_heightmap_from_photo(const imgbuf* src, uint32_t mode, uint32_t flags,
                                         float midpoint, float clamp_low, float clamp_high,
                                         uint32_t detail_size, float detail_threshold,
                                         float weight1, float weight2, float weight3,
                                         uint32_t smooth_size, uint32_t smooth_kind) noexcept {
    return guarded(static_cast<imgbuf*>(nullptr), [&] {
        return make_heightmap(src, mode, flags, midpoint, clamp_low, clamp_high, detail_size,
                              detail_threshold, weight1, weight2, weight3, smooth_size, smooth_kind,
                              EDGE_CLAMP);
    });
}

// The de-lit mode is not built yet: null.
RK_API imgbuf* calc_heightmap_from_photo_ex(const imgbuf* src, uint32_t mode, uint32_t flags,
                                            float midpoint, float clamp_low, float clamp_high,
                                            uint32_t detail_size, float detail_threshold,
                                            float weight1, float weight2, float weight3,
                                            uint32_t smooth_size, uint32_t smooth_kind,
                                            uint32_t edge_mode) noexcept {
    return guarded(static_cast<imgbuf*>(nullptr), [&]() -> imgbuf* {
        if (mode == HM_MODE_DELIT && edge_mode <= RK_EDGE_WRAP) {
            return make_delit_heightmap(src, flags, midpoint, clamp_low, clamp_high, detail_size,
                                        detail_threshold, weight1, weight2, weight3, smooth_size,
                                        smooth_kind, edge_mode);
        }
        if (edge_mode > RK_EDGE_WRAP || mode > 7) return nullptr;
        return make_heightmap(src, mode, flags, midpoint, clamp_low, clamp_high, detail_size,
                              detail_threshold, weight1, weight2, weight3, smooth_size, smooth_kind,
                              static_cast<EdgeMode>(edge_mode));
    });
}

}  // extern "C"
