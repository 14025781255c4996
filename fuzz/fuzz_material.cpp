// The generators and savers of a material and of the true surface, through
// their rk_ exports: a selector byte picks one, the next bytes its settings
// (valid or not), the rest an image. A refusal is fine; a crash, a leak or a
// sanitizer report is not. The height and normal maps are also made in place
// (the source becomes the map, which the de-lit heights refuse), which must
// give the new image's bits, and the normal map of a whole-number strength
// the older export's. A save its callback stops must say so, and only then;
// one it does not stop writes the bytes of the same save to a file. The
// occlusion, curvature, roughness and integrated heights are made, for one
// input in four, under 1, 2 or 3 threads and again under another count, which
// must give the same bits.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "reliefkit_rk.h"

namespace {

// A save's callback that keeps the bytes and stops at call stop_at (never when
// 0), as a full disk or a closed socket would.
struct Writer {
    uint32_t stop_at;
    uint32_t calls = 0;
    bool stopped = false;
    bool called_after_stop = false;
    std::vector<uint8_t> bytes{};
};

int take(void* user, const void* data, size_t size) {
    auto& writer = *static_cast<Writer*>(user);
    writer.called_after_stop |= writer.stopped;
    writer.stopped |= ++writer.calls == writer.stop_at;
    if (!writer.stopped) {
        const auto* first = static_cast<const uint8_t*>(data);
        writer.bytes.insert(writer.bytes.end(), first, first + size);
    }
    return writer.stopped;
}

// A save that its callback stopped gives RK_ERROR_ABORTED at once (no call
// after), and only such a save gives it.
bool stops_as_told(rk_status status, const Writer& writer) {
    return (status == RK_ERROR_ABORTED) == writer.stopped && !writer.called_after_stop;
}

// The file form of a save, under a fresh path, after the write form gave
// `written` without being stopped: the same status, and the same bytes in the
// file when it succeeds, else no file at all (a failed save leaves none).
template <class SaveToFile>
void saves_as_written(rk_status written, const Writer& writer, const char* suffix,
                      SaveToFile save) {
    if (writer.stopped) return;
    const std::string path = fuzz::fresh_file(suffix);
    const rk_status saved = save(path.c_str());
    std::vector<uint8_t> bytes;
    const bool exists = fuzz::read_file(path, bytes);
    if (saved != written || exists != (saved == RK_OK) || (exists && bytes != writer.bytes)) {
        std::abort();
    }
}

// The params' struct_size: the struct's own, or now and then an older caller's
// or a newer (unknown) one.
uint32_t struct_size(fuzz::Input& in, size_t own) {
    const uint8_t sel = in.byte();
    return static_cast<uint32_t>(sel < 224 ? own : sel < 240 ? own - 4 : own + 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t which = in.byte() % 11;
    const uint32_t edge = in.byte() % 3;  // clamp, wrap and an unknown mode
    const float a = in.param(), b = in.param();
    const uint32_t n = in.u32();
    const uint8_t small = in.byte();
    // The occlusion, the heaviest generator here, would halve the pace if made
    // twice each time: one input in four compares thread counts.
    const uint8_t thread_sel = in.byte();
    const uint32_t threads = thread_sel < 64 ? 1 + thread_sel % 3 : 0;
    imgbuf* img = in.image();
    if (!img) return 0;
    imgbuf* out = nullptr;
    switch (which) {
        case 0: {
            rk_ao_params p;
            rk_ao_params_init(&p, sizeof p);
            p.struct_size = struct_size(in, sizeof p);
            p.depth = a * 64, p.radius = 8 + std::fabs(b) * 24, p.directions = small % 40;
            p.edge_mode = edge;
            out = fuzz::made_alike_by_thread_counts(threads, [&] {
                imgbuf* made = nullptr;
                rk_ao_map(img, &p, &made);
                return made;
            });
            break;
        }
        case 1: {
            rk_curvature_params p;
            rk_curvature_params_init(&p, sizeof p);
            p.scale = n % 300, p.strength = a * 10, p.edge_mode = edge;
            out = fuzz::made_alike_by_thread_counts(threads, [&] {
                imgbuf* made = nullptr;
                rk_curvature_map(img, &p, &made);
                return made;
            });
            break;
        }
        case 2: {
            rk_roughness_params p;
            rk_roughness_params_init(&p, sizeof p);
            p.contrast = a * 8, p.bias = b, p.edge_mode = edge;
            out = fuzz::made_alike_by_thread_counts(threads, [&] {
                imgbuf* made = nullptr;
                rk_roughness_map(img, &p, &made);
                return made;
            });
            break;
        }
        case 3: {
            rk_albedo_params p;
            rk_albedo_params_init(&p, sizeof p);
            p.edge_mode = edge, p.light_azimuth = small < 128 ? NAN : a * 360;
            p.flatten_light = small & 1;
            rk_albedo_map(img, &p, &out);
            // With the heights, their light read alike or not.
            rk_height_params h;
            rk_height_params_init(&h, sizeof h);
            h.mode = small & 2 ? RK_HEIGHT_DELIT : n % 8;
            h.edge_mode = small & 4 ? edge : n % 2, h.light_azimuth = p.light_azimuth;
            h.smooth_size = n % 12;
            imgbuf *heights = nullptr, *colour = nullptr;
            if (rk_height_and_albedo_maps(img, &h, &p, &heights, &colour) == RK_OK) {
                rk_image_free(heights);
                rk_image_free(colour);
            }
            // The colour over the photograph itself, last: it is then gone.
            heights = nullptr;
            if (rk_height_and_albedo_maps_into(img, &h, &p, &heights, img) == RK_OK) {
                rk_image_free(heights);
            }
            break;
        }
        case 4: {
            rk_height_params p;
            rk_height_params_init(&p, sizeof p);
            p.edge_mode = edge, p.light_azimuth = small < 128 ? NAN : a * 360;
            p.light_elevation = small & 1 ? NAN : b * 90;
            rk_light light{};
            light.struct_size = struct_size(in, sizeof light);
            rk_estimate_light(img, &p, &light);
            rk_height_map(img, &p, &out);
            break;
        }
        case 5: {
            rk_integrate_params p;
            rk_integrate_params_init(&p, sizeof p);
            p.invert_x = small & 1, p.invert_y = small >> 1 & 1, p.blue = small >> 2 & 3;
            p.edge_mode = edge;
            out = fuzz::made_alike_by_thread_counts(threads, [&] {
                imgbuf* made = nullptr;
                float range = 0;
                rk_height_from_normals(img, &p, &made, &range);
                return made;
            });
            break;
        }
        case 6: {
            // The same framing under 3 to 5 lights: the image and copies of it.
            imgbuf* photos[5] = {img, nullptr, nullptr, nullptr, nullptr};
            const uint32_t count = 3 + small % 3;
            for (uint32_t i = 1; i < count; ++i) {
                if (rk_image_resample(img, rk_image_width(img), rk_image_height(img), &photos[i]) !=
                    RK_OK)
                    break;
            }
            float azimuths[5], elevations[5];
            for (uint32_t i = 0; i < 5; ++i) {
                azimuths[i] = (n >> i & 1) ? NAN : a * 90 * static_cast<float>(i);
                elevations[i] = (n >> (i + 8) & 1) ? NAN : 10 + b * 80;
            }
            rk_photometric_params p;
            rk_photometric_params_init(&p, sizeof p);
            p.edge_mode = edge, p.ambient = small & 8 ? NAN : std::fabs(a);
            p.outlier = 0.01f + std::fabs(b);
            rk_photometric_result r{};
            r.struct_size = struct_size(in, sizeof r);
            if (rk_photometric_stereo(photos, count, azimuths, small & 16 ? nullptr : elevations,
                                      &p, &r) == RK_OK) {
                rk_image_free(r.normal);
                rk_image_free(r.albedo);
                rk_image_free(r.height);
            }
            for (uint32_t i = 1; i < 5; ++i) rk_image_free(photos[i]);
            break;
        }
        case 7: {
            rk_exr_params p;
            rk_exr_params_init(&p, sizeof p);
            p.layout = n % 5, p.bit_depth = small & 1 ? 16 : 32, p.compress = small >> 1 & 1;
            // An EXR file comes in one call: the first stops it, the second never comes.
            Writer writer{small & 4 ? 1 + (n >> 8) % 2 : 0};
            const rk_status status = rk_save_exr_write(img, &p, take, &writer);
            if (!stops_as_told(status, writer)) std::abort();
            saves_as_written(status, writer, ".exr",
                             [&](const char* path) { return rk_save_exr_file(path, img, &p); });
            break;
        }
        case 9: {
            rk_height_params p;
            rk_height_params_init(&p, sizeof p);
            p.mode = n % 10, p.invert_red = small & 1, p.invert_green = small >> 1 & 1;
            p.auto_levels = small >> 2 & 1, p.clamp = small >> 3 & 1, p.midpoint = a;
            p.detail_size = (n >> 8) % 40, p.detail_threshold = b;
            p.smooth_size = (n >> 16) % 40, p.smooth_kind = (n >> 24) % 4, p.edge_mode = edge;
            p.light_azimuth = small & 16 ? NAN : a * 360;
            if (rk_height_map(img, &p, &out) == RK_OK && p.mode != RK_HEIGHT_DELIT) {
                imgbuf* copy = fuzz::copy_of(img);
                if (copy && (rk_height_map_into(copy, &p, copy) != RK_OK ||
                             !fuzz::same_pixels(copy, out)))
                    std::abort();
                rk_image_free(copy);
            }
            break;
        }
        case 10: {
            rk_normal_params p;
            rk_normal_params_init(&p, sizeof p);
            p.strength = small & 32 ? static_cast<float>(1 + n % 10) : a * 10;
            p.center_tap = n % 128, p.invert_x = small & 1, p.invert_y = small >> 1 & 1;
            p.blur_size = (n >> 8) % 260, p.blur_kind = (n >> 16) % 4, p.edge_mode = edge;
            if (rk_normal_map(img, &p, &out) == RK_OK) {
                imgbuf* copy = fuzz::copy_of(img);
                if (copy && (rk_normal_map_into(copy, &p, copy) != RK_OK ||
                             !fuzz::same_pixels(copy, out)))
                    std::abort();
                rk_image_free(copy);
                if (p.strength == std::floor(p.strength)) {
                    imgbuf* older = calc_normalmap_from_heightmap_ex(
                        img, static_cast<int32_t>(p.invert_x), static_cast<int32_t>(p.invert_y),
                        static_cast<uint32_t>(p.strength), p.center_tap, p.blur_size,
                        p.blur_kind, p.edge_mode);
                    if (older && !fuzz::same_pixels(older, out)) std::abort();
                    delete_imgbuf(older);
                }
            }
            break;
        }
        default: {  // 8
            rk_dds_params p;
            rk_dds_params_init(&p, sizeof p);
            p.format = n % 10, p.mipmaps = small & 1, p.normal_map = small >> 1 & 1;
            p.srgb = small >> 2 & 1;
            Writer writer{small & 8 ? 1 + (n >> 8) % 3 : 0};
            const rk_status status = rk_save_dds_write(img, &p, take, &writer);
            if (!stops_as_told(status, writer)) std::abort();
            saves_as_written(status, writer, ".dds",
                             [&](const char* path) { return rk_save_dds_file(path, img, &p); });
            break;
        }
    }
    rk_image_free(out);
    rk_image_free(img);
    return 0;
}
