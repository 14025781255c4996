#include "job.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "channel_pack.h"
#include "gltf_material.h"
#include "image.h"
#include "interrupt.h"
#include "map_files.h"
#include "number_text.h"
#include "preview.h"
#include "reliefkit.h"
#include "reliefkit_rk.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;

namespace {

// The occlusion's deepest relief (rk_ao_params.depth's limit): a deeper one
// from a normal map is occluded as that deep.
constexpr float kMostAoDepth = 4096.0f;

// Each line of the library's message indented below the command's headline.
std::string with_reasons(std::string headline, std::string_view reasons) {
    if (reasons.empty()) return headline;
    headline += '\n';
    headline += indent_lines(reasons, "  ");
    headline.pop_back();  // the line break indent_lines ends with
    return headline;
}

// rk_save_png_file's message is the texts reported on the way, one per line,
// then its own "rk_save_png_file: PATH: reason"; the command puts the reason in
// its headline and the texts below it.
std::string save_failure(const std::string& path, rk_status status, std::string_view raw) {
    // The path escaped first, so that only the message's own line breaks part it.
    const std::string name = printable(path),
                      escaped = with_printable_name(raw, utf8_escaped(path));
    const std::string_view message = escaped;
    const size_t last = message.rfind('\n');
    std::string_view reason = last == std::string_view::npos ? message : message.substr(last + 1);
    std::string_view texts = last == std::string_view::npos ? "" : message.substr(0, last);
    const std::string own = "rk_save_png_file: " + name + ": ";
    if (reason.starts_with(own)) {
        reason.remove_prefix(own.size());
    } else {
        // No reason of its own (out of memory): the status says it.
        reason = rk_status_text(status);
        texts = message == reason ? "" : message;
    }
    return with_reasons(concat("cannot write ", name, ": ", reason), texts);
}

// Rewrites a normal map in the unit normal's encoding, 0.5 + 0.5 v in red,
// green and blue, for the readers that take it so: glTF viewers and the
// engines of the presets decode blue as 2v - 1 like red and green, and a DDS
// normal map is read from red and green alone, z rebuilt from them. Unblurred, red and green hold the unit normal
// already and keep their bits, and blue (z itself) is biased. Blurred, red,
// green and blue hold the first three components of the blurred
// (x, y, 2z - 1, 1) scaled to unit length (see rk_normal_params.blur_size):
// x and y too short, and no z. The fourth component is what the three leave of
// unit length (alpha does not keep it), and half its sum with the third is the
// blurred z: (x, y, that) is the blurred normal, scaled to unit length here.
void to_unit_normal_encoding(imgbuf* normal, bool blurred) {
    const uint32_t width = imgbuf_w(normal), height = imgbuf_h(normal);
    for (uint32_t y = 0; y < height; ++y) {
        float* p = imgbuf_row(normal, y);
        if (!blurred) {
            for (uint32_t x = 0; x < width; ++x, p += 4) p[2] = 0.5f + 0.5f * p[2];
            continue;
        }
        for (uint32_t x = 0; x < width; ++x, p += 4) {
            const float nx = 2.0f * p[0] - 1.0f, ny = 2.0f * p[1] - 1.0f, nb = 2.0f * p[2] - 1.0f;
            const float na = std::sqrt(std::max(0.0f, 1.0f - (nx * nx + ny * ny + nb * nb)));
            const float v[3] = {nx, ny, 0.5f * (nb + na)};
            const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
            // A vector of no length (or a broken pixel) reads as level.
            if (!(length > 0.0f) || !std::isfinite(length)) {
                p[0] = 0.5f, p[1] = 0.5f, p[2] = 1.0f;
            } else {
                for (int c = 0; c < 3; ++c) p[c] = 0.5f + 0.5f * (v[c] / length);
            }
            p[3] = 1.0f;
        }
    }
}

// Runs a saver on path and answers the failure text, empty on success.
template <typename Saver>
std::string save(const fs::path& path, Saver&& saver) {
    if (!begin_save()) {
        return concat("cannot write ", printable(path.string()), ": the command was stopped");
    }
    rk_status status = RK_OK;
    {
        struct Turn {
            ~Turn() { end_save(); }
        } turn;
        status = saver(path.c_str());
    }
    if (status == RK_OK) return {};
    return save_failure(path.string(), status, rk_last_error());
}

// Why the input cannot even be opened, or empty; the readers' diagnostics do
// not tell a missing or unreadable file from a broken one.
std::string unopenable_input(const std::string& input) {
    // A FIFO would block the open below, and a directory or device is no image.
    std::error_code ec;
    const fs::file_status status = fs::status(input, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        return "cannot read " + printable(input) + ": not a regular file";
    }
    std::FILE* file = std::fopen(input.c_str(), "rb");
    if (file) {
        std::fclose(file);
        return {};
    }
    const int error = errno;
    if (error == ENOENT) return "cannot read " + printable(input) + ": no such file";
    return "cannot read " + printable(input) + ": " + std::generic_category().message(error);
}

class Job {
  public:
    Job(const JobPlan& plan, const Options& options, Image loaded = nullptr,
        MapReceiver* receiver = nullptr)
        : plan_(plan), options_(options), loaded_(std::move(loaded)), receiver_(receiver) {}

    JobResult run() {
        make_maps();
        return std::move(result_);
    }

  private:
    void make_maps() {
        if (!plan_.refusal.empty()) return fail(name() + " skipped: " + plan_.refusal);
        Image image = loaded_ ? std::move(loaded_) : load();
        if (image && options_.resize) image = resized(image.get());
        if (image && options_.make_tileable) image = tileable(image.get());
        if (!image) return;

        const uint32_t w = imgbuf_w(image.get()), h = imgbuf_h(image.get());
        const bool packs_occlusion =
            options_.writes(kMapPacked) && packing_of(options_) == Packing::orm;
        // Occlusion, curvature and the packed file are made from the height map
        // after the normal map, so it is kept until then.
        const bool heights_kept =
            options_.writes(kMapAo) || options_.writes(kMapCurvature) || packs_occlusion;
        const bool needs_heights =
            options_.writes_height() || options_.needs_normal() || heights_kept;
        // The de-lit heights come with the de-lit colour when both are made
        // from the photograph: they read its light once.
        Image shared_heights;
        const bool shares_light = needs_heights && !options_.from_height &&
                                  !options_.from_normal &&
                                  options_.height.mode == RK_HEIGHT_DELIT;
        std::vector<float> roughness =
            options_.from_height || options_.from_normal
                ? std::vector<float>{}
                : photo_maps(image.get(), shares_light ? &shared_heights : nullptr);
        if (!result_.failure.empty()) return;
        // Colour and roughness alone need no heights.
        if (!needs_heights) return height_maps(nullptr, std::move(roughness), w, h);
        if (stopped()) return;
        if (!heights_kept && !options_.from_normal && !options_.writes(kMapPacked) &&
            plan_.gltf_out.empty()) {
            if (options_.from_height) return maps_in_place(std::move(image));
            switch (heights_in_place(image.get())) {
                case InPlace::done:
                    return maps_in_place(std::move(image));
                case InPlace::failed:
                    return;
                case InPlace::refused:
                    break;
            }
        }
        Image made = options_.from_height   ? std::move(image)
                     : options_.from_normal ? heights_from_normals(image.get())
                     : shared_heights       ? std::move(shared_heights)
                                            : height_map(image.get());
        image.reset();
        if (!made) return;
        // The height map is saved on a thread of its own while the normal map is
        // made from it (both only read it) and saved. Each holds a reference; the
        // one that finishes last frees it, so a slow save does not keep it beside
        // the normal map's preview, nor a slow normal map beside the saved file.
        std::shared_ptr<imgbuf> height(made.release(), ImageDeleter{});
        std::string height_failure;
        bool height_written = false;
        auto save_height = [&, outcome = JobHold::current()](std::shared_ptr<imgbuf> held) {
            const JobHold::Lent told_with(outcome);
            if (receiver_) {
                receiver_->take_height(held.get());
            } else {
                height_failure = save_height_file(held.get());
                height_written = height_failure.empty();
            }
        };
        std::thread height_saver;
        if (options_.writes_height()) {
            try {
                // On one thread (--threads 1) everything runs in turn.
                if (get_thread_count() > 1) height_saver = std::thread(save_height, height);
            } catch (const std::system_error&) {
                // No thread to be had: one after the other.
            }
            if (!height_saver.joinable()) save_height(height);
        }
        Image normal =
            options_.needs_normal() && !stopped() ? normal_map(height.get()) : nullptr;
        if (!heights_kept) height.reset();
        if (normal) normal_steps(std::move(normal));
        if (height_saver.joinable()) height_saver.join();
        height_done(height_written, std::move(height_failure));
        if (result_.failure.empty()) height_maps(std::move(height), std::move(roughness), w, h);
    }

    // One image from the photograph to the last file: it becomes the height
    // map, which is saved (or handed over) before it becomes the normal map, so
    // the command never holds two whole images (the same files, bit for bit).
    void maps_in_place(Image image) {
        std::string height_failure;
        bool height_written = false;
        if (options_.writes_height()) {
            if (receiver_) {
                receiver_->take_height(image.get());
            } else {
                height_failure = save_height_file(image.get());
                height_written = height_failure.empty();
            }
        }
        if (options_.needs_normal() && !stopped()) {
            Image normal = normals_in_place(std::move(image));
            if (normal) normal_steps(std::move(normal));
        }
        height_done(height_written, std::move(height_failure));
    }

    void height_done(bool written, std::string failure) {
        if (written) result_.written.insert(result_.written.begin(), plan_.height_out);
        // The height map's failure comes first, as when the saves ran in turn.
        if (!failure.empty()) {
            result_.failure = result_.failure.empty() ? std::move(failure)
                                                      : std::move(failure) + "\n" + result_.failure;
        }
    }

    // The maps of the photograph itself: roughness, whose values are handed
    // back when the packed file needs them, and the de-lit colour. With
    // heights not null, the colour is made with the de-lit heights, which land
    // there, and over the photograph, which no map needs after it: the
    // roughness comes first.
    std::vector<float> photo_maps(imgbuf* photo, Image* heights) {
        std::vector<float> kept;
        if (options_.writes(kMapRoughness) || options_.writes(kMapPacked)) {
            rk_roughness_params p;
            rk_roughness_params_init(&p, sizeof p);
            p.contrast = options_.material.roughness_contrast;
            p.bias = options_.material.roughness_bias;
            p.edge_mode = edge_mode();
            Image roughness = generated("the roughness map", rk_roughness_map, photo, p);
            if (!roughness) return {};
            if (options_.writes(kMapRoughness) && !write_map(kMapRoughness, roughness.get()))
                return {};
            // Kept beside the heights' maps only for the packed file, which
            // reads its red alone.
            if (options_.writes(kMapPacked)) {
                kept = channel_values(roughness.get(), 0);
                if (kept.empty()) {
                    fail(name() + ": not enough memory for the packed map");
                    return {};
                }
            }
        }
        if (options_.writes(kMapAlbedo)) {
            if (stopped()) return {};
            rk_albedo_params p;
            rk_albedo_params_init(&p, sizeof p);
            p.edge_mode = edge_mode();
            // The light --light gives is the colour's as much as the heights'.
            p.light_azimuth = options_.height.light_azimuth.value_or(NAN);
            p.scale = options_.material.albedo_scale;
            if (heights) {
                if (!albedo_over_photo(photo, p, *heights) || !write_colour(photo)) return {};
            } else {
                if (options_.verbose) tell_light(photo, height_params());
                Image albedo = generated("the de-lit colour", rk_albedo_map, photo, p);
                if (!albedo || !write_colour(albedo.get())) return {};
            }
        }
        return kept;
    }

    // The de-lit heights into heights and the colour over the photograph.
    bool albedo_over_photo(imgbuf* photo, const rk_albedo_params& params, Image& heights) {
        const rk_height_params hp = height_params();
        if (options_.verbose) tell_light(photo, hp);
        imgbuf* made = nullptr;
        if (rk_height_and_albedo_maps_into(photo, &hp, &params, &made, photo) != RK_OK) {
            fail(name() + ": cannot make the height map and the de-lit colour: " +
                 rk_last_error());
            return false;
        }
        heights = Image(made);
        return true;
    }

    // Occlusion, curvature, the packed file and the glTF material of a w x h
    // input, once the height (and normal) maps are done; height is null when
    // no map needs it. Each image goes as soon as the last map that reads it is
    // made; for the packed file, made last, only the occlusion's and the
    // roughness's values are kept.
    void height_maps(std::shared_ptr<imgbuf> height, std::vector<float> roughness, uint32_t w,
                     uint32_t h) {
        const MaterialSettings& m = options_.material;
        const bool packs_occlusion =
            options_.writes(kMapPacked) && packing_of(options_) == Packing::orm;
        std::vector<float> occlusion;
        if (options_.writes(kMapAo) || packs_occlusion) {
            if (stopped()) return;
            rk_ao_params p;
            rk_ao_params_init(&p, sizeof p);
            p.depth = std::min(height_depth(), kMostAoDepth), p.radius = m.ao_radius,
            p.directions = m.ao_directions;
            p.edge_mode = edge_mode();
            Image ao = generated("the occlusion map", rk_ao_map, height.get(), p);
            if (!ao || (options_.writes(kMapAo) && !write_map(kMapAo, ao.get()))) return;
            // Kept beside the curvature only for the packed file, which reads
            // its red alone.
            if (packs_occlusion) occlusion = channel_values(ao.get(), 0);
            if (packs_occlusion && occlusion.empty())
                return fail(name() + ": not enough memory for the packed map");
        }
        // The heights' last reader is the occlusion unless the curvature is made.
        if (!options_.writes(kMapCurvature)) height.reset();
        if (options_.writes(kMapCurvature)) {
            if (stopped()) return;
            rk_curvature_params p;
            rk_curvature_params_init(&p, sizeof p);
            p.scale = m.curvature_scale, p.strength = m.curvature_strength,
            p.edge_mode = edge_mode();
            Image curvature = generated("the curvature map", rk_curvature_map, height.get(), p);
            height.reset();
            if (!curvature || !write_map(kMapCurvature, curvature.get())) return;
        }
        if (options_.writes(kMapPacked)) {
            if (stopped()) return;
            Image packed = packed_map(std::move(occlusion), std::move(roughness), w, h);
            if (!packed) return fail(name() + ": not enough memory for the packed map");
            if (!write_map(kMapPacked, packed.get())) return;
        }
        if (!plan_.gltf_out.empty() && !receiver_ && !stopped()) write_gltf(w, h);
    }

    // The packed texture from the maps' kept values (empty: no map), which go
    // once it is made.
    Image packed_map(std::vector<float> occlusion, std::vector<float> roughness, uint32_t w,
                     uint32_t h) const {
        const float* occluded = occlusion.empty() ? nullptr : occlusion.data();
        const float* rough = roughness.empty() ? nullptr : roughness.data();
        const Packing packing = packing_of(options_);
        return pack_channels(w, h,
                             packing_sources(packing, occluded, rough, options_.material.metallic));
    }

    template <class Params>
    Image generated(const char* what, rk_status (*make)(const imgbuf*, const Params*, imgbuf**),
                    const imgbuf* source, const Params& params) {
        imgbuf* out = nullptr;
        if (make(source, &params, &out) != RK_OK) {
            fail(name() + ": cannot make " + what + ": " + rk_last_error());
            return nullptr;
        }
        return Image(out);
    }

    // Pixels per unit of height: --ao-depth's, or the relief's own range when
    // the heights integrate a normal map (whose slopes say how deep it is)
    // and no depth was given.
    float height_depth() const {
        const bool own = options_.from_normal && !options_.material.ao_depth_given;
        return own ? normals_range_ : options_.material.ao_depth;
    }

    // The material file beside the maps; the height map displaces by the
    // occlusion's depth (pixels per unit of height) over the quad's long side.
    void write_gltf(uint32_t width, uint32_t height) {
        GltfMaterial material;
        material.name = plan_.gltf_out.stem().string();
        material.width = width, material.height = height;
        material.base_colour = plan_.map_out[kMapAlbedo];
        material.normal = plan_.normal_out;
        material.orm = plan_.map_out[kMapPacked];
        material.height_map = plan_.height_out;
        material.height_scale = height_depth() / static_cast<float>(std::max(width, height));
        std::string why = write_gltf_material(plan_.gltf_out, material);
        const std::string path = plan_.gltf_out.string();
        saved(plan_.gltf_out, why.empty() ? why
                                          : concat("cannot write ", printable(path), ": ",
                                                   with_printable_name(why, path)));
    }

    void normal_steps(Image normal) {
        const bool unit = options_.writes_normal() && !receiver_ && read_as_unit_normals();
        if (unit) to_unit_normal_encoding(normal.get(), options_.normal.blurred());
        if (options_.writes_normal() && !write_normal(normal.get())) return;
        if (!plan_.preview_out.empty() && !stopped()) write_preview(std::move(normal), unit);
    }

    // Whether the normal map file is read in the unit normal's encoding: by
    // the glTF material's viewers, as a DDS normal map (an unblurred map holds
    // red and green of the unit normal already), or by the engine a preset
    // writes for (its picture files' blue is decoded as 2v - 1 like red and
    // green wherever it keeps all three channels).
    bool read_as_unit_normals() const {
        if (!plan_.gltf_out.empty()) return true;
        if (map_file_of(options_, kMapNormal) == MapFile::dds_bc5) return options_.normal.blurred();
        return !options_.material.preset.empty();
    }

    void fail(std::string why) { result_.failure = std::move(why); }
    // The input as the messages name it: escaped, so that only a message's
    // own line breaks split it.
    std::string name() const { return printable(plan_.input); }

    // After a stop signal no map is begun: the stop waits for an input that
    // has saved a file to tell its outcome, but not for the maps still to make.
    bool stopped() {
        if (receiver_ && !receiver_->wanted()) {
            fail(name() + ": the maps are no longer wanted");
            return true;
        }
        if (!stop_requested()) return false;
        fail(name() + ": the command was stopped");
        return true;
    }

    Image load() {
        std::string why;
        Image image = load_input(plan_.input, why);
        if (!image) fail(std::move(why));
        return image;
    }

    Image resized(const imgbuf* image) {
        const Size size = *options_.resize;
        Image result(imgbuf_resample(image, size.width, size.height));
        if (!result || !imgbuf_buf(result.get())) {
            fail(name() + ": not enough memory to resize it to " + std::to_string(size.width) +
                 "x" + std::to_string(size.height));
            return nullptr;
        }
        return result;
    }

    Image tileable(const imgbuf* image) {
        Image result(make_tileable(image, *options_.make_tileable));
        if (!result) fail(name() + ": not enough memory to make it tileable");
        return result;
    }

    uint32_t edge_mode() const { return options_.seamless ? RK_EDGE_WRAP : RK_EDGE_CLAMP; }

    // The rk_ interface's statement of the settings, which carries the light.
    rk_height_params height_params() const {
        const HeightSettings& h = options_.height;
        rk_height_params p;
        rk_height_params_init(&p, sizeof p);
        p.mode = h.mode;
        p.invert_red = h.invert_red, p.invert_green = h.invert_green;
        p.invert_blue = h.invert_blue, p.auto_levels = h.auto_levels;
        p.midpoint = h.midpoint, p.clamp = h.clamp;
        p.clamp_low = h.clamp_low, p.clamp_high = h.clamp_high;
        p.detail_size = h.detail_size, p.detail_threshold = h.detail_threshold;
        p.smooth_size = h.smooth_size, p.smooth_kind = h.smooth_kind;
        p.edge_mode = edge_mode();
        p.light_azimuth = h.light_azimuth.value_or(NAN);
        p.light_elevation = h.light_elevation.value_or(NAN);
        return p;
    }

    // One line on standard error, written whole so that parallel jobs' lines
    // do not interleave.
    void tell_light(const imgbuf* photo, const rk_height_params& p) const {
        rk_light light{};
        light.struct_size = sizeof light;
        std::string line = "reliefkit: " + plan_.input + ": ";
        if (rk_estimate_light(photo, &p, &light) != RK_OK) {
            line += std::string("no light estimate: ") + rk_last_error();
        } else if (std::isnan(light.azimuth)) {
            line += "even light (the luminance map)";
        } else {
            const bool given = options_.height.light_azimuth.has_value();
            line += concat("light ", given ? "given" : "estimated", ": azimuth ",
                           format_number(std::round(light.azimuth * 10.0f) / 10.0f),
                           ", directional ", format_number(std::round(light.directional * 100.0f) / 100.0f));
            if (!given) {
                const float opposite = std::fmod(light.azimuth + 180.0f, 360.0f);
                line += concat("; if the relief is upside down: --light ",
                               format_number(std::round(opposite * 10.0f) / 10.0f));
            }
        }
        // One line: neither the name nor the library's reason may break it.
        line = printable(line) + '\n';
        std::fputs(line.c_str(), stderr);
    }

    Image heights_from_normals(const imgbuf* normals) {
        rk_integrate_params p;
        rk_integrate_params_init(&p, sizeof p);
        p.invert_x = options_.normal.invert_x;
        p.invert_y = options_.normal.invert_y;
        p.edge_mode = edge_mode();
        imgbuf* out = nullptr;
        if (rk_height_from_normals(normals, &p, &out, &normals_range_) != RK_OK) {
            fail(name() + ": " + rk_last_error());
        }
        return Image(out);
    }

    Image height_map(const imgbuf* photo) {
        const HeightSettings& h = options_.height;
        if (h.mode == RK_HEIGHT_DELIT && (options_.verbose || h.light_azimuth)) {
            const rk_height_params p = height_params();
            if (options_.verbose) tell_light(photo, p);
            imgbuf* out = nullptr;
            if (rk_height_map(photo, &p, &out) != RK_OK) fail(name() + ": " + rk_last_error());
            return Image(out);
        }
        // The generator only tests its weights for all-zero, which gives a black
        // map; any non-zero value takes the ordinary path.
        constexpr float kWeight = 1.0f;
        Image result(calc_heightmap_from_photo_ex(photo, h.mode, h.flags(), h.midpoint, h.clamp_low,
                                                  h.clamp_high, h.detail_size, h.detail_threshold,
                                                  kWeight, kWeight, kWeight, h.smooth_size,
                                                  h.smooth_kind, edge_mode()));
        if (!result) fail(name() + ": not enough memory for the height map");
        return result;
    }

    enum class InPlace { done, refused, failed };

    // The height map written over the photograph. Refused, the photograph
    // untouched, for the de-lit mode (its solve reads the photograph to the
    // end) and for settings the rk_ form does not take (the older call makes a
    // new image then).
    InPlace heights_in_place(imgbuf* photo) {
        if (options_.height.mode == RK_HEIGHT_DELIT) return InPlace::refused;
        const rk_height_params p = height_params();
        const rk_status status = rk_height_map_into(photo, &p, photo);
        // Arguments are checked before a pixel is written.
        if (status == RK_ERROR_ARGUMENT) return InPlace::refused;
        if (status == RK_OK) return InPlace::done;
        fail(name() + ": not enough memory for the height map");
        return InPlace::failed;
    }

    // The normal map written over the height map (a new image when the rk_
    // form refuses the settings).
    Image normals_in_place(Image height) {
        const NormalSettings& n = options_.normal;
        rk_normal_params p;
        rk_normal_params_init(&p, sizeof p);
        // The older call's whole-number strengths, held to its range.
        p.strength = static_cast<float>(std::clamp(n.strength, 1u, 10u));
        p.center_tap = n.center_tap;
        p.invert_x = n.invert_x, p.invert_y = n.invert_y;
        p.blur_size = n.blur_size, p.blur_kind = n.blur_kind;
        p.edge_mode = edge_mode();
        const rk_status status = rk_normal_map_into(height.get(), &p, height.get());
        if (status == RK_ERROR_ARGUMENT) return normal_map(height.get());
        if (status == RK_OK) return height;
        fail(name() + ": not enough memory for the normal map");
        return nullptr;
    }

    Image normal_map(const imgbuf* height) {
        const NormalSettings& n = options_.normal;
        Image result(calc_normalmap_from_heightmap_ex(height, n.invert_x ? 1 : 0,
                                                      n.invert_y ? 1 : 0, n.strength, n.center_tap,
                                                      n.blur_size, n.blur_kind, edge_mode()));
        if (!result) fail(name() + ": not enough memory for the normal map");
        return result;
    }

    bool saved(const fs::path& path, std::string failure) {
        if (!failure.empty()) {
            fail(std::move(failure));
            return false;
        }
        result_.written.push_back(path);
        return true;
    }

    bool write_png(const fs::path& path, const imgbuf* image) {
        return saved(path, save(path, [&](const char* file) {
                         return rk_save_png_file(file, image, nullptr);
                     }));
    }

    // A map other than a PNG height or normal map, or a receiver's.
    bool write_map(MapKind kind, const imgbuf* map) {
        if (receiver_) {
            receiver_->take_map(kind, map);
            return true;
        }
        const fs::path& path = plan_.map_out[kind];
        return saved(path, save_map_file(path, kind, map));
    }

    // The base colour is opaque in every format: PNG and EXR write its red,
    // green and blue alone, and BC7 keeps alpha, so the photograph's goes to
    // 1 first. An engine reading the DDS's alpha as opacity would otherwise
    // find holes the other files lack, and the block fit would spend its
    // precision on an alpha nobody asked for.
    bool write_colour(imgbuf* colour) {
        const MapFile file = map_file_of(options_, kMapAlbedo);
        if (!receiver_ && (file == MapFile::dds_bc7 || file == MapFile::dds_bc7_srgb)) {
            for (uint32_t y = 0; y < imgbuf_h(colour); ++y) {
                float* row = imgbuf_row(colour, y);
                for (uint32_t x = 0; x < imgbuf_w(colour); ++x) row[4 * x + 3] = 1.0f;
            }
        }
        return write_map(kMapAlbedo, colour);
    }

    // Saves through the rk_ savers in the map's file kind; answers the failure
    // text, empty when the file is written.
    std::string save_map_file(const fs::path& path, MapKind kind, const imgbuf* map) const {
        const MapFile file = map_file_of(options_, kind);
        const bool grey = kind != kMapNormal && kind != kMapAlbedo && kind != kMapPacked;
        const bool rgba =
            kind == kMapPacked && packing_of(options_) == Packing::metallic_smoothness;
        if (!begin_save()) {
            return concat("cannot write ", printable(path.string()), ": the command was stopped");
        }
        struct Turn {
            ~Turn() { end_save(); }
        } turn;
        rk_status status = RK_OK;
        if (file == MapFile::png8 || file == MapFile::png16) {
            rk_png_params p;
            rk_png_params_init(&p, sizeof p);
            p.bit_depth = file == MapFile::png16 ? 16 : 8;
            p.layout = grey ? RK_PNG_GREY : rgba ? RK_PNG_RGBA : RK_PNG_RGB;
            status = rk_save_png_file(path.c_str(), map, &p);
        } else if (file == MapFile::exr_half || file == MapFile::exr_float) {
            rk_exr_params p;
            rk_exr_params_init(&p, sizeof p);
            p.layout = grey ? RK_EXR_Y : rgba ? RK_EXR_RGBA : RK_EXR_RGB;
            p.bit_depth = file == MapFile::exr_float ? 32 : 16;
            status = rk_save_exr_file(path.c_str(), map, &p);
        } else {
            rk_dds_params p;
            rk_dds_params_init(&p, sizeof p);
            p.format = file == MapFile::dds_bc4   ? RK_DDS_BC4
                       : file == MapFile::dds_bc5 ? RK_DDS_BC5
                                                  : RK_DDS_BC7;
            p.normal_map = kind == kMapNormal && file == MapFile::dds_bc5;
            p.srgb = file == MapFile::dds_bc7_srgb;
            status = rk_save_dds_file(path.c_str(), map, &p);
        }
        if (status == RK_OK) return {};
        // The saver's message names the path after the function; say it once.
        const std::string_view message = rk_last_error();
        const std::string in_message = utf8_escaped(path.string()), named = in_message + ": ";
        const size_t at = message.find(named);
        const std::string_view rest =
            at == std::string_view::npos ? message : message.substr(at + named.size());
        return concat("cannot write ", printable(path.string()), ": ",
                      with_printable_name(rest, in_message));
    }

    static bool is_png(MapFile file) { return file == MapFile::png8 || file == MapFile::png16; }

    // Grey: engines and editors read a one-channel file as height directly.
    // Answers the failure text, empty when the file is written.
    std::string save_height_file(const imgbuf* height) {
        const MapFile as = map_file_of(options_, kMapHeight);
        if (!is_png(as)) return save_map_file(plan_.height_out, kMapHeight, height);
        rk_png_params params = command_png_params(options_, RK_PNG_GREY);
        params.bit_depth = as == MapFile::png16 ? 16 : 8;
        return save(plan_.height_out, [&](const char* file) {
            return rk_save_png_file(file, height, &params);
        });
    }

    bool write_normal(const imgbuf* normal) {
        if (receiver_) {
            receiver_->take_normal(normal);
            return true;
        }
        const fs::path& path = plan_.normal_out;
        const MapFile as = map_file_of(options_, kMapNormal);
        if (!is_png(as)) return saved(path, save_map_file(path, kMapNormal, normal));
        rk_png_params params = command_png_params(options_, RK_PNG_RGB);
        params.bit_depth = as == MapFile::png16 ? 16 : 8;
        return saved(path, save(path, [&](const char* file) {
                         return rk_save_png_file(file, normal, &params);
                     }));
    }

    void write_preview(Image normal, bool unit_encoded) {
        const NormalEncoding encoding{.blue_biased = options_.normal.blurred() || unit_encoded,
                                      .inverted_x = options_.normal.invert_x,
                                      .inverted_y = options_.normal.invert_y};
        Image preview = render_preview(normal.get(), encoding);
        normal.reset();
        if (preview && options_.preview_tiles > 1)
            preview = tiled(preview.get(), options_.preview_tiles);
        if (!preview) {
            fail(name() + ": not enough memory for the preview");
            return;
        }
        write_png(plan_.preview_out, preview.get());
    }

    const JobPlan& plan_;
    const Options& options_;
    Image loaded_;
    MapReceiver* receiver_;
    JobResult result_;
    float normals_range_ = 0.0f;  // --from-normal: the relief's depth in pixels
};

}  // namespace

Image load_input(const std::string& input, std::string& failure) {
    failure = unopenable_input(input);
    if (!failure.empty()) return nullptr;
    imgbuf* loaded = nullptr;
    if (rk_load_file(input.c_str(), &loaded) != RK_OK) {
        failure = with_reasons("cannot read " + printable(input) + ":",
                               with_printable_name(rk_last_error(), utf8_escaped(input)));
    }
    return Image(loaded);
}

rk_png_params command_png_params(const Options& options, uint32_t layout) {
    rk_png_params params;
    rk_png_params_init(&params, sizeof params);
    params.bit_depth = options.depth;
    params.layout = layout;
    const ChannelOrder& c = options.channels;
    if (layout == RK_PNG_RGB) {
        params.channels[0] = static_cast<uint32_t>(c.red);
        params.channels[1] = static_cast<uint32_t>(c.green);
        params.channels[2] = static_cast<uint32_t>(c.blue);
    }
    return params;
}

JobResult run_job(const JobPlan& plan, const Options& options) {
    return Job(plan, options).run();
}

JobResult run_job(Image loaded, const JobPlan& plan, const Options& options,
                  MapReceiver* receiver) {
    return Job(plan, options, std::move(loaded), receiver).run();
}

}  // namespace rkcli
