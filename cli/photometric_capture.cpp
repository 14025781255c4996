#include "photometric_capture.h"

#include <cmath>
#include <filesystem>
#include <vector>

#include "image.h"
#include "interrupt.h"
#include "job.h"
#include "number_text.h"
#include "preview.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;

CapturePhoto capture_photo(std::string_view argument) {
    const size_t eq = argument.rfind('=');
    if (eq == std::string_view::npos || eq == 0) return {std::string(argument), {}, {}, {}};
    const std::string_view light = argument.substr(eq + 1);
    const size_t colon = light.find(':');
    const auto azimuth = parse_float(light.substr(0, colon));
    const auto elevation =
        colon == std::string_view::npos ? std::nullopt : parse_float(light.substr(colon + 1));
    if (!azimuth || (colon != std::string_view::npos && !elevation))
        return {std::string(argument), {}, {}, std::string(light)};
    // A file named like FILE=AZ is still read as itself when nothing is
    // named by the part before the '='.
    const std::string path(argument.substr(0, eq));
    std::error_code ec;
    if (!fs::exists(path, ec) && fs::exists(std::string(argument), ec))
        return {std::string(argument), {}, {}, {}};
    return {path, azimuth, elevation, {}};
}

namespace {

// The maps that go to files, each with how it is written.
struct CaptureFile {
    const imgbuf* image;
    fs::path path;
    uint32_t layout;
};

std::string rounded(float value) {
    return format_number(std::round(value * 10.0f) / 10.0f);
}

}  // namespace

int run_photometric(const Options& options, std::ostream& out, std::ostream& err) {
    std::vector<CapturePhoto> given;
    std::vector<Image> photos;
    std::vector<const imgbuf*> views;
    std::vector<float> azimuths, elevations;
    for (const std::string& input : options.inputs) {
        given.push_back(capture_photo(input));
        std::string why;
        Image photo = load_input(given.back().path, why);
        if (!photo) {
            err << "reliefkit: " << printable(why, true) << '\n';
            return 1;
        }
        views.push_back(photo.get());
        photos.push_back(std::move(photo));
        azimuths.push_back(given.back().azimuth.value_or(NAN));
        elevations.push_back(given.back().elevation.value_or(NAN));
    }
    rk_photometric_params params;
    rk_photometric_params_init(&params, sizeof params);
    params.elevation = options.elevation.value_or(NAN);
    params.edge_mode = options.seamless ? RK_EDGE_WRAP : RK_EDGE_CLAMP;
    params.invert_x = options.normal.invert_x;
    params.invert_y = options.normal.invert_y;
    rk_photometric_result result{};
    result.struct_size = sizeof result;
    if (rk_photometric_stereo(views.data(), static_cast<uint32_t>(views.size()), azimuths.data(),
                              elevations.data(), &params, &result) != RK_OK) {
        err << "reliefkit: " << printable(given[0].path)
            << " and the others: " << printable(rk_last_error(), true) << '\n';
        return 1;
    }
    const Image normal(result.normal), albedo(result.albedo), height(result.height);
    photos.clear();
    if (options.verbose) {
        for (size_t i = 0; i < given.size(); ++i) {
            err << "reliefkit: " << printable(given[i].path) << ": light "
                << (given[i].azimuth ? "given" : "estimated") << ": azimuth "
                << rounded(result.light_azimuth[i]) << ", elevation "
                << rounded(result.light_elevation[i]) << '\n';
        }
        err << "reliefkit: ambient light "
            << format_number(std::round(result.ambient * 100.0f) / 100.0f) << ", relief "
            << rounded(result.height_range) << " pixels deep\n";
    }

    const std::string stem = fs::path(given[0].path).stem().string();
    const fs::path dir(options.out_dir);
    std::vector<CaptureFile> files = {{normal.get(), dir / (stem + "_normal.png"), RK_PNG_RGB},
                                      {albedo.get(), dir / (stem + "_albedo.png"), RK_PNG_RGB},
                                      {height.get(), dir / (stem + "_height.png"), RK_PNG_GREY}};
    Image preview;
    if (options.preview) {
        const NormalEncoding encoding{.blue_biased = false,
                                      .inverted_x = options.normal.invert_x,
                                      .inverted_y = options.normal.invert_y};
        preview = render_preview(normal.get(), encoding);
        if (preview && options.preview_tiles > 1)
            preview = tiled(preview.get(), options.preview_tiles);
        if (!preview) {
            err << "reliefkit: not enough memory for the preview\n";
            return 1;
        }
        files.push_back({preview.get(), *options.preview, RK_PNG_RGB});
    }
    // An output must never replace a photograph of the capture.
    for (const CaptureFile& file : files) {
        for (const CapturePhoto& photo : given) {
            std::error_code ec;
            if (fs::equivalent(file.path, photo.path, ec)) {
                err << "reliefkit: " << printable(file.path.string())
                    << " would overwrite an input file\n";
                return 1;
            }
        }
    }
    for (const CaptureFile& file : files) {
        rk_png_params png;
        rk_png_params_init(&png, sizeof png);
        png.bit_depth = file.image == preview.get() ? 8 : options.depth;
        png.layout = file.layout;
        if (file.image == normal.get()) {
            const ChannelOrder& c = options.channels;
            png.channels[0] = c.red, png.channels[1] = c.green, png.channels[2] = c.blue;
        }
        // Bracketed as the batch's saves are, so that Ctrl-C lets a save under
        // way finish and remove its temporary file rather than end it midway.
        if (!begin_save()) {
            err << "reliefkit: cannot write " << printable(file.path.string())
                << ": the command was stopped\n";
            return 1;
        }
        const std::string path = file.path.string();
        const rk_status saved = rk_save_png_file(path.c_str(), file.image, &png);
        end_save();
        if (saved != RK_OK) {
            // The library's reasons keep their lines; the path in them is escaped.
            err << "reliefkit: cannot write " << printable(path) << ": "
                << printable(with_printable_name(rk_last_error(), utf8_escaped(path)), true) << '\n';
            return 1;
        }
        if (!options.quiet) out << printable(file.path.string()) << '\n';
    }
    return 0;
}

}  // namespace rkcli
