#include "job.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

#include "diagnostics.h"
#include "image.h"
#include "interrupt.h"
#include "preview.h"
#include "reliefkit.h"
#include "reliefkit_rk.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;

namespace {

// Room for every message the savers give.
constexpr int32_t kMessageCapacity = 512;

std::string with_diagnostics(std::string headline, const std::vector<std::string>& texts) {
    if (texts.empty()) return headline;
    headline += '\n';
    headline += indent_lines(join_diagnostics(texts), "  ");
    headline.pop_back();  // the line break indent_lines ends with
    return headline;
}

// Runs a saver on path and answers the failure text, empty on success.
template <typename Saver>
std::string save(const fs::path& path, Saver&& saver) {
    const auto wide = path_to_utf16(path.string());
    if (!wide) return "cannot write " + path.string() + ": the name is not valid UTF-8";
    char16_t message[kMessageCapacity] = {};
    std::vector<std::string> texts;
    if (!begin_save()) return "cannot write " + path.string() + ": the command was stopped";
    {
        struct Turn {
            ~Turn() { end_save(); }
        } turn;
        DiagnosticsCapture capture(texts);
        saver(message, kMessageCapacity, wide->c_str());
    }
    if (message[0] == u'\0') return {};
    return with_diagnostics("cannot write " + path.string() + ": " + message_to_utf8(message),
                            texts);
}

// Why the input cannot even be opened, or empty; the readers' diagnostics do
// not tell a missing or unreadable file from a broken one.
std::string unopenable_input(const std::string& input) {
    // A FIFO would block the open below, and a directory or device is no image.
    std::error_code ec;
    const fs::file_status status = fs::status(input, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        return "cannot read " + input + ": not a regular file";
    }
    std::FILE* file = std::fopen(input.c_str(), "rb");
    if (file) {
        std::fclose(file);
        return {};
    }
    const int error = errno;
    if (error == ENOENT) return "cannot read " + input + ": no such file";
    return "cannot read " + input + ": " + std::generic_category().message(error);
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
        if (!plan_.refusal.empty()) return fail(plan_.input + " skipped: " + plan_.refusal);
        Image image = loaded_ ? std::move(loaded_) : load();
        if (image && options_.resize) image = resized(image.get());
        if (image && options_.make_tileable) image = tileable(image.get());
        if (!image) return;

        if (options_.from_height) return maps_in_place(std::move(image));
        switch (heights_in_place(image.get())) {
            case InPlace::done:
                return maps_in_place(std::move(image));
            case InPlace::failed:
                return;
            case InPlace::refused:
                break;
        }
        Image made = height_map(image.get());
        image.reset();
        if (!made) return;
        // The height map is saved on a thread of its own while the normal map is
        // made from it (both only read it) and saved. Each holds a reference; the
        // one that finishes last frees it, so a slow save does not keep it beside
        // the normal map's preview, nor a slow normal map beside the saved file.
        std::shared_ptr<imgbuf> height(made.release(), ImageDeleter{});
        std::string height_failure;
        bool height_written = false;
        auto save_height = [&](std::shared_ptr<imgbuf> held) {
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
        Image normal = options_.needs_normal() ? normal_map(height.get()) : nullptr;
        height.reset();
        if (normal) normal_steps(std::move(normal));
        if (height_saver.joinable()) height_saver.join();
        height_done(height_written, std::move(height_failure));
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
        if (options_.needs_normal()) {
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

    void normal_steps(Image normal) {
        if (options_.writes_normal() && !write_normal(normal.get())) return;
        if (!plan_.preview_out.empty()) write_preview(std::move(normal));
    }

    void fail(std::string why) { result_.failure = std::move(why); }

    Image load() {
        const auto wide = path_to_utf16(plan_.input);
        if (!wide) {
            fail("cannot read " + plan_.input + ": the name is not valid UTF-8");
            return nullptr;
        }
        if (std::string why = unopenable_input(plan_.input); !why.empty()) {
            fail(std::move(why));
            return nullptr;
        }
        std::vector<std::string> texts;
        Image image;
        {
            DiagnosticsCapture capture(texts);
            image.reset(load_image(wide->c_str()));
        }
        if (!image) {
            if (texts.empty()) texts.emplace_back("no reader accepted the file");
            fail(with_diagnostics("cannot read " + plan_.input + ":", texts));
        }
        return image;
    }

    Image resized(const imgbuf* image) {
        const Size size = *options_.resize;
        Image result(imgbuf_resample(image, size.width, size.height));
        if (!result || !imgbuf_buf(result.get())) {
            fail(plan_.input + ": not enough memory to resize it to " + std::to_string(size.width) +
                 "x" + std::to_string(size.height));
            return nullptr;
        }
        return result;
    }

    Image tileable(const imgbuf* image) {
        Image result(make_tileable(image, *options_.make_tileable));
        if (!result) fail(plan_.input + ": not enough memory to make it tileable");
        return result;
    }

    uint32_t edge_mode() const { return options_.seamless ? RK_EDGE_WRAP : RK_EDGE_CLAMP; }

    Image height_map(const imgbuf* photo) {
        const HeightSettings& h = options_.height;
        // The generator only tests its weights for all-zero, which gives a black
        // map; any non-zero value takes the ordinary path.
        constexpr float kWeight = 1.0f;
        Image result(calc_heightmap_from_photo_ex(photo, h.mode, h.flags(), h.midpoint, h.clamp_low,
                                                  h.clamp_high, h.detail_size, h.detail_threshold,
                                                  kWeight, kWeight, kWeight, h.smooth_size,
                                                  h.smooth_kind, edge_mode()));
        if (!result) fail(plan_.input + ": not enough memory for the height map");
        return result;
    }

    enum class InPlace { done, refused, failed };

    // The height map written over the photograph. Refused, the photograph
    // untouched, for the de-lit mode (its solve reads the photograph to the
    // end) and for settings the rk_ form does not take (the older call makes a
    // new image then).
    InPlace heights_in_place(imgbuf* photo) {
        const HeightSettings& h = options_.height;
        if (h.mode == RK_HEIGHT_DELIT) return InPlace::refused;
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
        const rk_status status = rk_height_map_into(photo, &p, photo);
        // Arguments are checked before a pixel is written.
        if (status == RK_ERROR_ARGUMENT) return InPlace::refused;
        if (status == RK_OK) return InPlace::done;
        fail(plan_.input + ": not enough memory for the height map");
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
        fail(plan_.input + ": not enough memory for the normal map");
        return nullptr;
    }

    Image normal_map(const imgbuf* height) {
        const NormalSettings& n = options_.normal;
        Image result(calc_normalmap_from_heightmap_ex(height, n.invert_x ? 1 : 0,
                                                      n.invert_y ? 1 : 0, n.strength, n.center_tap,
                                                      n.blur_size, n.blur_kind, edge_mode()));
        if (!result) fail(plan_.input + ": not enough memory for the normal map");
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
        return saved(path, save(path, [&](char16_t* msg, int32_t capacity, const char16_t* file) {
                         core_saveimage_png(msg, capacity, file, image);
                     }));
    }

    // Grey: engines and editors read a one-channel file as height directly.
    // Answers the failure text, empty when the file is written.
    std::string save_height_file(const imgbuf* height) {
        return save(plan_.height_out, [&](char16_t* msg, int32_t capacity, const char16_t* file) {
            save_png_ex(msg, capacity, file, height, options_.depth, RK_PNG_GREY, 0, 0, 0);
        });
    }

    bool write_normal(const imgbuf* normal) {
        if (receiver_) {
            receiver_->take_normal(normal);
            return true;
        }
        const ChannelOrder& c = options_.channels;
        const fs::path& path = plan_.normal_out;
        return saved(path, save(path, [&](char16_t* msg, int32_t capacity, const char16_t* file) {
                         save_png_ex(msg, capacity, file, normal, options_.depth, RK_PNG_RGB, c.red,
                                     c.green, c.blue);
                     }));
    }

    void write_preview(Image normal) {
        const NormalEncoding encoding{.blue_biased = options_.normal.blurred(),
                                      .inverted_x = options_.normal.invert_x,
                                      .inverted_y = options_.normal.invert_y};
        Image preview = render_preview(normal.get(), encoding);
        normal.reset();
        if (preview && options_.preview_tiles > 1)
            preview = tiled(preview.get(), options_.preview_tiles);
        if (!preview) {
            fail(plan_.input + ": not enough memory for the preview");
            return;
        }
        write_png(plan_.preview_out, preview.get());
    }

    const JobPlan& plan_;
    const Options& options_;
    Image loaded_;
    MapReceiver* receiver_;
    JobResult result_;
};

}  // namespace

JobResult run_job(const JobPlan& plan, const Options& options) {
    return Job(plan, options).run();
}

JobResult run_job(Image loaded, const JobPlan& plan, const Options& options,
                  MapReceiver* receiver) {
    return Job(plan, options, std::move(loaded), receiver).run();
}

}  // namespace rkcli
