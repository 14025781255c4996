// Test images and the bridge between the library's image record and OpenCV.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "imgbuf/imgbuf.h"

namespace rkbench {

// An OpenCV view of an image's pixels (CV_32FC4, no copy): both sides of a
// comparison read exactly the same bytes.
cv::Mat as_mat(const imgbuf* img);

// side x side pixels of uniform random colour in [0, 1) from a fixed seed, alpha 1.
rk::ImgbufPtr random_image(uint32_t side, uint32_t seed);

// The photograph at png_path repeated to fill side x side pixels, as float RGBA
// in [0, 1]. Throws std::runtime_error when the file cannot be read.
rk::ImgbufPtr tiled_photo(const std::string& png_path, uint32_t side);

// A new image of src's size; throws std::bad_alloc when it cannot be had.
rk::ImgbufPtr image_like(const imgbuf* src);

// The same photograph as 8-bit BGR for writing the codec test files.
cv::Mat to_bgr8(const imgbuf* img);

}  // namespace rkbench
