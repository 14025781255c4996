#include "images.h"

#include <new>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

namespace rkbench {

cv::Mat as_mat(const imgbuf* img) {
    return cv::Mat(static_cast<int>(img->height), static_cast<int>(img->width), CV_32FC4,
                   img->pixels);
}

rk::ImgbufPtr image_like(const imgbuf* src) {
    rk::ImgbufPtr img = rk::make_image(src->width, src->height);
    if (!img) throw std::bad_alloc();
    return img;
}

rk::ImgbufPtr random_image(uint32_t side, uint32_t seed) {
    rk::ImgbufPtr img = rk::make_image(side, side);
    if (!img) throw std::bad_alloc();
    cv::Mat view = as_mat(img.get());
    cv::RNG rng(seed);
    rng.fill(view, cv::RNG::UNIFORM, cv::Scalar::all(0.0), cv::Scalar(1.0, 1.0, 1.0, 0.0));
    view.forEach<cv::Vec4f>([](cv::Vec4f& px, const int*) { px[3] = 1.0f; });
    return img;
}

rk::ImgbufPtr tiled_photo(const std::string& png_path, uint32_t side) {
    const cv::Mat photo = cv::imread(png_path, cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("cannot read " + png_path);
    const int n = static_cast<int>(side);
    cv::Mat tiled;
    cv::repeat(photo, (n + photo.rows - 1) / photo.rows, (n + photo.cols - 1) / photo.cols, tiled);
    cv::Mat rgba;
    cv::cvtColor(tiled(cv::Rect(0, 0, n, n)), rgba, cv::COLOR_BGR2RGBA);

    rk::ImgbufPtr img = rk::make_image(side, side);
    if (!img) throw std::bad_alloc();
    cv::Mat view = as_mat(img.get());
    rgba.convertTo(view, CV_32F, 1.0 / 255.0);
    return img;
}

cv::Mat to_bgr8(const imgbuf* img) {
    cv::Mat bytes;
    as_mat(img).convertTo(bytes, CV_8U, 255.0);
    cv::Mat bgr;
    cv::cvtColor(bytes, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

}  // namespace rkbench
