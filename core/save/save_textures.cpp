// The rk_ savers of OpenEXR and DDS files, to a file or a write callback, on
// the writers of exr_writer.h and dds_writer.h.
#include <string>

#include "common/rk_call.h"
#include "common/rk_params.h"
#include "imgbuf/imgbuf.h"
#include "save/dds_writer.h"
#include "save/exr_writer.h"
#include "save/save_outcome.h"

using namespace rk;

namespace {

constexpr rk_exr_params kExrDefaults{sizeof(rk_exr_params), RK_EXR_RGB, 16, 1};
constexpr rk_dds_params kDdsDefaults{sizeof(rk_dds_params), RK_DDS_BC7, 1, 0, 0};

ExrOptions exr_options_of(const rk_exr_params* given) {
    const rk_exr_params p = params_or_defaults(given, kExrDefaults, "rk_exr_params");
    if (p.layout != RK_EXR_Y && p.layout != RK_EXR_RGB && p.layout != RK_EXR_RGBA) {
        fail(RK_ERROR_ARGUMENT,
             "layout " + decimal_text(p.layout) + " is not RK_EXR_Y, RK_EXR_RGB or RK_EXR_RGBA");
    }
    if (p.bit_depth != 16 && p.bit_depth != 32) {
        fail(RK_ERROR_ARGUMENT, "bit_depth " + decimal_text(p.bit_depth) + " is not 16 or 32");
    }
    check_switch(p.compress, "compress");
    return {p.layout == RK_EXR_Y     ? ExrLayout::y
            : p.layout == RK_EXR_RGB ? ExrLayout::rgb
                                     : ExrLayout::rgba,
            p.bit_depth == 32 ? ExrSample::float32 : ExrSample::half,
            p.compress ? ExrCompression::zip : ExrCompression::none};
}

DdsOptions dds_options_of(const rk_dds_params* given) {
    const rk_dds_params p = params_or_defaults(given, kDdsDefaults, "rk_dds_params");
    if (p.format != RK_DDS_BC4 && p.format != RK_DDS_BC5 && p.format != RK_DDS_BC7) {
        fail(RK_ERROR_ARGUMENT,
             "format " + decimal_text(p.format) + " is not RK_DDS_BC4, RK_DDS_BC5 or RK_DDS_BC7");
    }
    check_switch(p.mipmaps, "mipmaps");
    check_switch(p.normal_map, "normal_map");
    check_switch(p.srgb, "srgb");
    if (p.normal_map && p.format != RK_DDS_BC5) {
        fail(RK_ERROR_ARGUMENT, "normal_map is for RK_DDS_BC5 only");
    }
    if (p.srgb && p.format != RK_DDS_BC7) fail(RK_ERROR_ARGUMENT, "srgb is for RK_DDS_BC7 only");
    return {p.format == RK_DDS_BC4   ? DdsFormat::bc4
            : p.format == RK_DDS_BC5 ? DdsFormat::bc5
                                     : DdsFormat::bc7,
            p.mipmaps != 0, p.normal_map != 0, p.srgb != 0};
}

// A writer out of memory gave no text; wording it here may find no memory
// either, and then rk_call reports the memory failure as any other.
rk_status outcome_status(const SaveOutcome& outcome, const std::string& where) {
    if (outcome.ok()) return RK_OK;
    fail(outcome.status, where + (outcome.message.empty() ? kNoMemory : outcome.message));
}

// The save to a file and to a callback, for either writer.
template <class Options>
rk_status save_file(const char* utf8_path, const imgbuf* image, const Options& options,
                    SaveOutcome (*write)(const imgbuf*, const Options&, ByteSink&) noexcept) {
    const std::string path(utf8_path);
    return outcome_status(
        save_to_file(path, [&](ByteSink& sink) { return write(image, options, sink); }),
        path + ": ");
}

template <class Options>
rk_status save_write(const imgbuf* image, const Options& options, rk_write_fn write_fn, void* user,
                     SaveOutcome (*write)(const imgbuf*, const Options&, ByteSink&) noexcept) {
    if (!write_fn) fail(RK_ERROR_ARGUMENT, "write is null");
    return outcome_status(
        save_to_callback(write_fn, user,
                         [&](ByteSink& sink) { return write(image, options, sink); }),
        "");
}

void check_path(const char* utf8_path) {
    require(utf8_path, "utf8_path");
    if (!*utf8_path) fail(RK_ERROR_ARGUMENT, "utf8_path is empty");
}

}  // namespace

extern "C" {

RK_API rk_status rk_exr_params_init(rk_exr_params* params, size_t struct_size) noexcept {
    return rk_call("rk_exr_params_init", [&] {
        return init_params(params, struct_size, kExrDefaults, "rk_exr_params");
    });
}

RK_API rk_status rk_save_exr_file(const char* utf8_path, const imgbuf* image,
                                  const rk_exr_params* params) noexcept {
    return rk_call("rk_save_exr_file", [&] {
        check_path(utf8_path);
        check_filled_source(image, "image");
        return save_file(utf8_path, image, exr_options_of(params), write_exr);
    });
}

RK_API rk_status rk_save_exr_write(const imgbuf* image, const rk_exr_params* params,
                                   rk_write_fn write, void* user) noexcept {
    return rk_call("rk_save_exr_write", [&] {
        check_filled_source(image, "image");
        return save_write(image, exr_options_of(params), write, user, write_exr);
    });
}

RK_API rk_status rk_dds_params_init(rk_dds_params* params, size_t struct_size) noexcept {
    return rk_call("rk_dds_params_init", [&] {
        return init_params(params, struct_size, kDdsDefaults, "rk_dds_params");
    });
}

RK_API rk_status rk_save_dds_file(const char* utf8_path, const imgbuf* image,
                                  const rk_dds_params* params) noexcept {
    return rk_call("rk_save_dds_file", [&] {
        check_path(utf8_path);
        check_filled_source(image, "image");
        return save_file(utf8_path, image, dds_options_of(params), write_dds);
    });
}

RK_API rk_status rk_save_dds_write(const imgbuf* image, const rk_dds_params* params,
                                   rk_write_fn write, void* user) noexcept {
    return rk_call("rk_save_dds_write", [&] {
        check_filled_source(image, "image");
        return save_write(image, dds_options_of(params), write, user, write_dds);
    });
}

}  // extern "C"
