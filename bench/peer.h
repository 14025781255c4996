// The OpenCV side of every comparison: the closest composition of OpenCV calls
// to each of our operations, on CV_32FC4 images with the same kernel taps and
// clamp-to-edge borders (BORDER_REPLICATE).
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "filter/kernels.h"

namespace rkbench::peer {

// The library's kernel of that kind and size, taps already multiplied by its
// norm (OpenCV has no separate post-sum factor), as a CV_32F column.
cv::Mat taps(rk::KernelKind kind, uint32_t size);

// Separable smoothing of src into dst.
void smooth(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel);

// Edge-preserving detail filter in place: Sobel x and y on red (divided by 8),
// edge strength (|gx| + |gy|) / 2, a separable blur of the whole image, and a
// copy of the blurred pixels where the edge strength is below threshold.
void detail(cv::Mat& img, const cv::Mat& kernel, float threshold);

// The height-map settings of settings.h: clamped luminance, auto-levels on red,
// detail filter, Gaussian smoothing.
void heightmap(const cv::Mat& photo, cv::Mat& out);

// The normal-map settings of settings.h: 3 x 3 gradients of the scaled red
// channel, normals, flat border, blur and renormalisation over four lanes.
void normalmap(const cv::Mat& height, cv::Mat& out);

// Reads an 8-bit file and widens it to float RGBA in [0, 1].
void load(const std::string& path, cv::Mat& out);
// Writes float RGBA as an 8-bit RGB PNG at libpng's default compression level.
void save_png(const std::string& path, const cv::Mat& img);

}  // namespace rkbench::peer
