#include "map_maker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <future>
#include <iterator>

#include "diagnostics.h"
#include "job.h"
#include "preview_png.h"
#include "serve_limits.h"
#include "text_conversion.h"

namespace rkserve {
namespace fs = std::filesystem;

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PreviewReceiver final : public rkcli::MapReceiver {
  public:
    explicit PreviewReceiver(const rkcli::ChannelOrder& order) : order_(order) {}
    ~PreviewReceiver() override {
        if (height_.valid()) height_.wait();
    }

    void take_height(const imgbuf* map) override {
        // The job frees the height map once the normal map is made, so the
        // encoder works on a copy of its own.
        copy_.reset(create_imgbuf(imgbuf_w(map), imgbuf_h(map)));
        if (!copy_ || !imgbuf_buf(copy_.get())) return;
        copy_imgbuf_content(copy_.get(), map);
        height_ = std::async(std::launch::async, [this] { return fast_grey_png(copy_.get()); });
    }
    void take_normal(const imgbuf* map) override { normal_ = fast_rgb_png(map, order_); }
    void take_map(rkcli::MapKind kind, const imgbuf* map) override {
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            if (kPageMaps[i] != kind) continue;
            material_[i] = kind == rkcli::kMapAlbedo ? fast_rgb_png(map, {}) : fast_grey_png(map);
        }
    }
    std::array<std::string, 4> material() { return std::move(material_); }

    std::string height() { return height_.valid() ? height_.get() : std::string(); }
    std::string normal() { return std::move(normal_); }

  private:
    rkcli::ChannelOrder order_;
    rkcli::Image copy_;
    std::future<std::string> height_;
    std::string normal_;
    std::array<std::string, 4> material_;
};

rkcli::Image copy_of(const imgbuf* image) {
    rkcli::Image copy(create_imgbuf(imgbuf_w(image), imgbuf_h(image)));
    if (!copy || !imgbuf_buf(copy.get())) return nullptr;
    copy_imgbuf_content(copy.get(), image);
    return copy;
}

}  // namespace

Decoded decode_upload(std::string_view bytes, ScratchDir& scratch) {
    Decoded result;
    const fs::path dir = scratch.fresh_subdir();
    const fs::path file = dir / "upload";
    const int fd = dir.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || !write_all(fd, bytes)) {
        if (fd >= 0) ::close(fd);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        result.diagnostics.emplace_back(
            "the server cannot keep the upload in its private directory");
        return result;
    }
    ::close(fd);
    {
        rkcli::DiagnosticsCapture capture(result.diagnostics);
        // The directory name is made of ASCII digits under a temporary directory.
        if (const auto wide = rkcli::path_to_utf16(file.string())) {
            result.image.reset(load_image(wide->c_str()));
        }
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    if (!result.image && result.diagnostics.empty()) {
        result.diagnostics.emplace_back("no reader accepted the file");
    }
    return result;
}

rkcli::Image preview_copy(const imgbuf* image, const std::optional<rkcli::Size>& resize) {
    const uint64_t w = resize ? resize->width : imgbuf_w(image);
    const uint64_t h = resize ? resize->height : imgbuf_h(image);
    const uint64_t long_side = std::max(w, h);
    if (long_side <= kPreviewLongSide && w == imgbuf_w(image) && h == imgbuf_h(image)) {
        return copy_of(image);
    }
    const auto scaled = [&](uint64_t side) {
        if (long_side <= kPreviewLongSide) return static_cast<uint32_t>(side);
        return static_cast<uint32_t>(
            std::max<uint64_t>(1, (side * kPreviewLongSide + long_side / 2) / long_side));
    };
    rkcli::Image copy(imgbuf_resample(image, scaled(w), scaled(h)));
    return copy && imgbuf_buf(copy.get()) ? std::move(copy) : nullptr;
}

MadeMaps make_maps(rkcli::Image source, const rkcli::Options& options, std::string_view input_name,
                   ScratchDir& scratch) {
    MadeMaps maps;
    const fs::path dir = scratch.fresh_subdir();
    if (dir.empty()) {
        maps.failure = "the server cannot write in its private directory";
        return maps;
    }
    rkcli::JobPlan plan;
    plan.input = std::string(input_name);
    plan.height_out = dir / "height.png";
    plan.normal_out = dir / "normal.png";
    for (rkcli::MapKind kind : kPageMaps) plan.map_out[kind] = dir / (std::to_string(kind) + ".png");
    const rkcli::JobResult result =
        rkcli::run_job(std::move(source), plan, options);
    if (result.ok()) {
        maps.height_png = read_file(plan.height_out);
        maps.normal_png = read_file(plan.normal_out);
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            maps.material_png[i] = read_file(plan.map_out[kPageMaps[i]]);
        }
        if (maps.height_png.empty() || maps.normal_png.empty()) {
            maps.failure = "the server cannot read back the maps it wrote";
        }
    } else {
        maps.failure = result.failure;
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return maps;
}

MadeMaps make_preview_maps(rkcli::Image source, const rkcli::Options& options,
                           std::string_view input_name) {
    MadeMaps maps;
    PreviewReceiver receiver(options.channels);
    rkcli::JobPlan plan;
    plan.input = std::string(input_name);
    plan.height_out = "height";  // names only: the receiver takes the maps
    plan.normal_out = "normal";
    const rkcli::JobResult result =
        rkcli::run_job(std::move(source), plan, options, &receiver);
    maps.height_png = receiver.height();
    maps.normal_png = receiver.normal();
    maps.material_png = receiver.material();
    if (!result.ok()) {
        maps.failure = result.failure;
    } else if (maps.height_png.empty() || maps.normal_png.empty()) {
        maps.failure = "not enough memory for the preview of " + std::string(input_name);
    }
    return maps;
}

}  // namespace rkserve
