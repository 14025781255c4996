#include "map_maker.h"

#include <algorithm>
#include <new>

#include "job.h"
#include "serve_limits.h"

namespace rkserve {
namespace {

// rk_save_png_write's output: the file's bytes appended to a string.
int append(void* user, const void* data, size_t size) {
    try {
        static_cast<std::string*>(user)->append(static_cast<const char*>(data), size);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;  // the save stops; the empty result says why
    }
}

// Takes the job's maps and encodes each as the command would save it; the
// height map's encoding runs on the job's saving thread while the normal map
// is made.
class PngReceiver final : public rkcli::MapReceiver {
  public:
    PngReceiver(const rkcli::Options& options, bool preview, StillWanted wanted)
        : wanted_(std::move(wanted)),
          height_{params(options, RK_PNG_GREY, preview), {}},
          normal_{params(options, RK_PNG_RGB, preview), {}} {
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            // The colour keeps its channels in order; the others are grey.
            const bool colour = kPageMaps[i] == rkcli::kMapAlbedo;
            material_[i].params = params(options, colour ? RK_PNG_RGB : RK_PNG_GREY, preview);
            for (uint32_t c = 0; c < 4; ++c) material_[i].params.channels[c] = c;
        }
    }

    void take_height(const imgbuf* map) override { height_.encode(map); }
    void take_normal(const imgbuf* map) override { normal_.encode(map); }
    void take_map(rkcli::MapKind kind, const imgbuf* map) override {
        for (size_t i = 0; i < kPageMaps.size(); ++i) {
            if (kPageMaps[i] == kind) material_[i].encode(map);
        }
    }

    bool wanted() const override { return wanted_(); }

    std::string height() { return std::move(height_.png); }
    std::string normal() { return std::move(normal_.png); }
    std::array<std::string, 4> material() {
        std::array<std::string, 4> pngs;
        for (size_t i = 0; i < kPageMaps.size(); ++i) pngs[i] = std::move(material_[i].png);
        return pngs;
    }

  private:
    struct Encoding {
        rk_png_params params;
        std::string png;  // empty unless encoded

        void encode(const imgbuf* map) {
            if (rk_save_png_write(map, &params, append, &png) != RK_OK) png.clear();
        }
    };

    static rk_png_params params(const rkcli::Options& options, uint32_t layout, bool preview) {
        rk_png_params p = rkcli::command_png_params(options, layout);
        if (preview) {
            p.bit_depth = 8;
            p.compression_level = 1;
        }
        return p;
    }

    StillWanted wanted_;
    Encoding height_;
    Encoding normal_;
    std::array<Encoding, kPageMaps.size()> material_{};
};

// The page asks for all six maps, so a file left empty is one whose encoding
// failed (for want of memory), never a map not asked for.
bool every_map_encoded(const MadeMaps& maps) {
    return !maps.height_png.empty() && !maps.normal_png.empty() &&
           std::none_of(maps.material_png.begin(), maps.material_png.end(),
                        [](const std::string& png) { return png.empty(); });
}

MadeMaps run(rkcli::Image source, const rkcli::Options& options, std::string_view input_name,
             bool preview, StillWanted wanted) {
    MadeMaps maps;
    PngReceiver receiver(options, preview, std::move(wanted));
    rkcli::JobPlan plan;
    plan.input = std::string(input_name);
    plan.height_out = "height";  // names only: the receiver takes the maps
    plan.normal_out = "normal";
    const rkcli::JobResult result = rkcli::run_job(std::move(source), plan, options, &receiver);
    maps.height_png = receiver.height();
    maps.normal_png = receiver.normal();
    maps.material_png = receiver.material();
    if (!result.ok()) {
        maps.failure = result.failure;
    } else if (!every_map_encoded(maps)) {
        maps.failure = "not enough memory for the maps of " + std::string(input_name);
    }
    return maps;
}

rkcli::Image copy_of(const imgbuf* image) {
    rkcli::Image copy(create_imgbuf(imgbuf_w(image), imgbuf_h(image)));
    if (!copy || !imgbuf_buf(copy.get())) return nullptr;
    copy_imgbuf_content(copy.get(), image);
    return copy;
}

}  // namespace

Decoded decode_upload(std::string_view bytes) {
    Decoded result;
    imgbuf* image = nullptr;
    result.status = rk_load_memory(bytes.data(), bytes.size(), &image);
    if (result.status == RK_OK) {
        result.image.reset(image);
        return result;
    }
    std::string_view reasons = rk_last_error();
    while (!reasons.empty()) {
        const size_t end = std::min(reasons.find('\n'), reasons.size());
        if (end > 0) result.diagnostics.emplace_back(reasons.substr(0, end));
        reasons.remove_prefix(std::min(end + 1, reasons.size()));
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
                   StillWanted wanted) {
    return run(std::move(source), options, input_name, false, std::move(wanted));
}

MadeMaps make_preview_maps(rkcli::Image source, const rkcli::Options& options,
                           std::string_view input_name, StillWanted wanted) {
    return run(std::move(source), options, input_name, true, std::move(wanted));
}

}  // namespace rkserve
