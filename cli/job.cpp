#include "job.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <system_error>

#include "diagnostics.h"
#include "image.h"
#include "preview.h"
#include "reliefkit.h"
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
    {
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
    std::error_code ec;
    if (fs::is_directory(input, ec)) return "cannot read " + input + ": it is a directory";
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
    Job(const JobPlan& plan, const Options& options, std::mutex& generator_lock)
        : plan_(plan), options_(options), lock_(generator_lock) {}

    JobResult run() {
        make_maps();
        return std::move(result_);
    }

  private:
    void make_maps() {
        if (!plan_.refusal.empty()) return fail(plan_.input + " skipped: " + plan_.refusal);
        Image image = load();
        if (image && options_.resize) image = resized(image.get());
        if (!image) return;

        Image height = options_.from_height ? std::move(image) : height_map(image.get());
        image.reset();
        if (!height) return;
        if (options_.writes_height() && !write_png(plan_.height_out, height.get())) return;
        if (!options_.needs_normal()) return;

        Image normal = normal_map(height.get());
        height.reset();
        if (!normal) return;
        if (options_.writes_normal() && !write_normal(normal.get())) return;
        if (!plan_.preview_out.empty()) write_preview(normal.get());
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

    Image height_map(const imgbuf* photo) {
        const HeightSettings& h = options_.height;
        Image result;
        {
            std::lock_guard hold(lock_);
            result.reset(calc_heightmap_from_photo_ex(
                photo, h.mode, h.flags(), h.midpoint, h.clamp_low, h.clamp_high, h.detail_size,
                h.detail_threshold, h.weights[0], h.weights[1], h.weights[2], h.smooth_size,
                h.smooth_kind, RK_EDGE_CLAMP));
        }
        if (!result) fail(plan_.input + ": not enough memory for the height map");
        return result;
    }

    Image normal_map(const imgbuf* height) {
        const NormalSettings& n = options_.normal;
        Image result;
        {
            std::lock_guard hold(lock_);
            result.reset(calc_normalmap_from_heightmap(height, n.invert_x ? 1 : 0,
                                                       n.invert_y ? 1 : 0, n.strength, n.center_tap,
                                                       n.blur_size, n.blur_kind));
        }
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

    bool write_normal(const imgbuf* normal) {
        const ChannelOrder& c = options_.channels;
        const fs::path& path = plan_.normal_out;
        return saved(path, save(path, [&](char16_t* msg, int32_t capacity, const char16_t* file) {
                         core_saveimage_nmap_png(msg, capacity, file, normal, c.red, c.green,
                                                 c.blue);
                     }));
    }

    void write_preview(const imgbuf* normal) {
        const NormalEncoding encoding{.blue_biased = options_.normal.blurred(),
                                      .inverted_x = options_.normal.invert_x,
                                      .inverted_y = options_.normal.invert_y};
        Image preview = render_preview(normal, encoding);
        if (!preview) {
            fail(plan_.input + ": not enough memory for the preview");
            return;
        }
        write_png(plan_.preview_out, preview.get());
    }

    const JobPlan& plan_;
    const Options& options_;
    std::mutex& lock_;
    JobResult result_;
};

}  // namespace

JobResult run_job(const JobPlan& plan, const Options& options, std::mutex& generator_lock) {
    return Job(plan, options, generator_lock).run();
}

}  // namespace rkcli
