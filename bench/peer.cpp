#include "peer.h"

#include <algorithm>
#include <array>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "filter/kernel_cache.h"
#include "settings.h"

namespace rkbench::peer {
namespace {

constexpr int kReplicate = cv::BORDER_REPLICATE;
const cv::Point kCentre(-1, -1);

// Edge strength (|Sobel x| + |Sobel y|) / 2 of the red channel, each Sobel
// divided by 8 as the library does.
cv::Mat edge_strength(const cv::Mat& img) {
    cv::Mat red, gx, gy, edge;
    cv::extractChannel(img, red, 0);
    cv::Sobel(red, gx, CV_32F, 1, 0, 3, 1.0 / 8.0, 0.0, kReplicate);
    cv::Sobel(red, gy, CV_32F, 0, 1, 3, 1.0 / 8.0, 0.0, kReplicate);
    cv::addWeighted(cv::abs(gx), 0.5, cv::abs(gy), 0.5, 0.0, edge);
    return edge;
}

// 3 x 3 gradient kernels with centre weight k: left minus right, above minus below.
cv::Mat gradient_kernel_x(float k) {
    return (cv::Mat_<float>(3, 3) << 1, 0, -1, k, 0, -k, 1, 0, -1);
}
cv::Mat gradient_kernel_y(float k) {
    return (cv::Mat_<float>(3, 3) << 1, k, 1, 0, 0, 0, -1, -k, -1);
}

void fill_flat_border(cv::Mat& normals) {
    const cv::Scalar flat(0.5, 0.5, 1.0, 1.0);
    normals.row(0).setTo(flat);
    normals.row(normals.rows - 1).setTo(flat);
    normals.col(0).setTo(flat);
    normals.col(normals.cols - 1).setTo(flat);
}

// Decodes the blurred normals, scales them to unit length over all four lanes
// (alpha included, as the library does) and encodes them again with alpha 1.
void renormalise(const cv::Mat& blurred, cv::Mat& out) {
    cv::Mat decoded, squares, length_sq, inv_length;
    blurred.convertTo(decoded, CV_32F, 2.0, -1.0);
    cv::multiply(decoded, decoded, squares);
    cv::transform(squares, length_sq, cv::Matx14f(1, 1, 1, 1));
    cv::sqrt(length_sq, inv_length);
    cv::divide(1.0, inv_length, inv_length);

    std::vector<cv::Mat> lanes;
    cv::split(decoded, lanes);
    for (int c = 0; c < 3; ++c) {
        cv::multiply(lanes[c], inv_length, lanes[c]);
        lanes[c].convertTo(lanes[c], CV_32F, 0.5, 0.5);
    }
    lanes[3].setTo(1.0);
    cv::merge(lanes, out);
}

}  // namespace

cv::Mat taps(rk::KernelKind kind, uint32_t size) {
    const rk::BlurKernel* k = rk::kernel_cache_get(kind, size);
    if (!k) throw std::runtime_error("no kernel of that size");
    cv::Mat column(static_cast<int>(size), 1, CV_32F);
    for (uint32_t i = 0; i < size; ++i)
        column.at<float>(static_cast<int>(i)) = k->weights[i] * k->norm;
    return column;
}

void smooth(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel) {
    cv::sepFilter2D(src, dst, CV_32F, kernel, kernel, kCentre, 0.0, kReplicate);
}

void detail(cv::Mat& img, const cv::Mat& kernel, float threshold) {
    cv::Mat mask, blurred;
    cv::compare(edge_strength(img), threshold, mask, cv::CMP_LT);
    smooth(img, blurred, kernel);
    blurred.copyTo(img, mask);
}

void heightmap(const cv::Mat& photo, cv::Mat& out) {
    using S = HeightSettings;
    // Luminance of the channels clamped to [0, 1], alpha 1, in one transform.
    cv::Mat clamped;
    cv::min(photo, 1.0, clamped);
    cv::max(clamped, 0.0, clamped);
    static constexpr float kLuminance[4][5] = {{0.299f, 0.587f, 0.114f, 0, 0},
                                               {0.299f, 0.587f, 0.114f, 0, 0},
                                               {0.299f, 0.587f, 0.114f, 0, 0},
                                               {0, 0, 0, 0, 1}};
    const cv::Matx<float, 4, 5> luminance(&kLuminance[0][0]);
    cv::Mat height;
    cv::transform(clamped, height, luminance);

    // Auto-levels: move the darkest red level to 0 unless the range is flat.
    cv::Mat red;
    cv::extractChannel(height, red, 0);
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(red, &lo, &hi);
    lo = std::clamp(lo, 0.0, 1.0);
    hi = std::clamp(hi, 0.0, 1.0);
    if (lo < hi - 0.0001 || lo > hi + 0.0001)
        cv::subtract(height, cv::Scalar(lo, lo, lo, 0), height);

    detail(height, taps(rk::KERNEL_GAUSSIAN, S::detail_size), S::detail_threshold);
    smooth(height, out, taps(rk::KERNEL_GAUSSIAN, S::smooth_size));
}

void normalmap(const cv::Mat& height, cv::Mat& out) {
    using S = NormalSettings;
    const float k = center_weight(S::center_tap);
    cv::Mat scaled, gx, gy;
    cv::extractChannel(height, scaled, 0);
    scaled *= static_cast<double>(S::strength);
    cv::filter2D(scaled, gx, CV_32F, gradient_kernel_x(k), kCentre, 0.0, kReplicate);
    cv::filter2D(scaled, gy, CV_32F, gradient_kernel_y(k), kCentre, 0.0, kReplicate);

    // (gx, gy, 0.5) / length, red and green encoded as 0.5 + 0.5 n, blue n.z.
    cv::Mat length_sq, length, half_inv;
    cv::multiply(gx, gx, length_sq);
    cv::accumulateSquare(gy, length_sq);
    length_sq += 0.25;
    cv::sqrt(length_sq, length);
    cv::divide(0.5, length, half_inv);
    std::array<cv::Mat, 4> lanes;
    cv::multiply(gx, half_inv, lanes[0]);
    lanes[0] += 0.5;
    cv::multiply(gy, half_inv, lanes[1]);
    lanes[1] += 0.5;
    lanes[2] = half_inv;
    lanes[3] = cv::Mat::ones(height.size(), CV_32F);
    cv::Mat normals;
    cv::merge(lanes.data(), lanes.size(), normals);
    fill_flat_border(normals);

    cv::Mat blurred;
    smooth(normals, blurred, taps(rk::KERNEL_GAUSSIAN, S::blur_size));
    renormalise(blurred, out);
}

void load(const std::string& path, cv::Mat& out) {
    const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
    if (bgr.empty()) throw std::runtime_error("cannot read " + path);
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    rgba.convertTo(out, CV_32F, 1.0 / 255.0);
}

void save_png(const std::string& path, const cv::Mat& img) {
    cv::Mat bytes, bgr;
    img.convertTo(bytes, CV_8U, 255.0);
    cv::cvtColor(bytes, bgr, cv::COLOR_RGBA2BGR);
    // zlib's default level, which libpng uses unless told otherwise.
    const std::vector<int> params = {cv::IMWRITE_PNG_COMPRESSION, 6};
    if (!cv::imwrite(path, bgr, params)) throw std::runtime_error("cannot write " + path);
}

}  // namespace rkbench::peer
