// --photometric: one capture of several photographs under several lights in,
// the normal map, the de-lit colour and the height map out.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "options.h"

namespace rkcli {

// A photograph of the capture as given: FILE=AZ[:EL], or FILE when the light
// is to be estimated. Only a light after the last '=' (numbers as --light
// takes them) is taken as one, and only when FILE exists or the whole
// argument does not, so a file whose name holds '=' is still read as one.
struct CapturePhoto {
    std::string path;
    std::optional<float> azimuth;            // as --light's; checked before the run
    std::optional<float> elevation;          // else --elevation's
    std::optional<std::string> not_a_light;  // the text after the last '=', if one
};
CapturePhoto capture_photo(std::string_view argument);

// Loads options.inputs, solves and writes <stem>_normal.png, _albedo.png and
// _height.png of the first photograph's stem in options.out_dir (and the
// preview when asked), listing the files on out and failures on err. Answers
// the exit status: 0 written, 1 failed.
int run_photometric(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace rkcli
