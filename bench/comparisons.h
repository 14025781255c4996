// The side-by-side measurements: each registers one Google Benchmark for our
// operation ("ours/<label>") and one for OpenCV's ("peer/<label>").
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "imgbuf/imgbuf.h"

namespace rkbench {

// Everything the measurements read; made once before any of them runs.
struct Inputs {
    rk::ImgbufPtr random;             // seeded random colour
    rk::ImgbufPtr photo;              // the sample photograph tiled up
    rk::ImgbufPtr height;             // a height map of the photo, input of the normal maps
    rk::ImgbufPtr normal;             // our normal map of that, for the saver
    rk::ImgbufPtr work;               // reset from one of the above before each in-place call
    std::string jpeg_path, png_path;  // the photo as 8-bit files, codec inputs
    std::string out_dir;              // where the savers write
};

struct Comparison {
    std::string label;
    double megapixels;  // pixels one call processes, for the MP/s column
    // Runs each side once more and answers the largest |ours - OpenCV| over red,
    // green and blue: how close the two compute the same thing. Empty for file
    // outputs.
    std::function<double()> max_difference;
};

namespace labels {
inline const std::string gaussian9 = "Gaussian smoothing 9";
inline const std::string gaussian15 = "Gaussian smoothing 15";
inline const std::string gaussian31 = "Gaussian smoothing 31";
inline const std::string gaussian99 = "Gaussian smoothing 99";
inline const std::string box31 = "Box smoothing 31";
inline const std::string tent31 = "Tent smoothing 31";
inline const std::string detail_random = "Detail filter 15/0.05, random";
inline const std::string detail_photo = "Detail filter 15/0.05, photo";
inline const std::string heightmap = "calc_heightmap_from_photo";
inline const std::string normalmap = "calc_normalmap_from_heightmap";
inline const std::string load_jpeg = "load_image JPEG";
inline const std::string load_png = "load_image PNG";
inline const std::string save_photo = "core_saveimage_png, photo";
inline const std::string save_height = "core_saveimage_png, height map";
inline const std::string save_normal = "core_saveimage_png, normal map";
}  // namespace labels

// Registers every comparison, repeated `repetitions` times; in must outlive the run.
std::vector<Comparison> register_comparisons(Inputs& in, int repetitions);

}  // namespace rkbench
