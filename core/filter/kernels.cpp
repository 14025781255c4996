#include "filter/kernels.h"

#include <cmath>
#include <cstring>

namespace rk {
namespace {

constexpr float kEpsilon = 1.1920929e-7f;

void reset(BlurKernel& k, uint32_t size) {
    std::memset(k.weights4, 0, sizeof k.weights4);
    std::memset(k.norm4, 0, sizeof k.norm4);
    k.norm = 0.0f;
    k.size = size;
}

float reciprocal_or_zero(float sum) {
    return (sum >= -kEpsilon && sum <= kEpsilon) ? 0.0f : 1.0f / sum;
}

void broadcast(BlurKernel& k) {
    for (uint32_t i = 0; i < k.size; ++i) {
        for (float& lane : k.weights4[i]) lane = k.weights[i];
    }
    for (float& lane : k.norm4) lane = k.norm;
}

}  // namespace

// Each outer tap is the mean of the unit normal density over one of `half` equal
// groups of samples spanning [-3 sigma, 0); the centre tap is the peak. The span
// is the same for every size, so larger kernels blur proportionally wider.
void build_gaussian(GaussianKernel& k, uint32_t size) {
    reset(k, size);
    k.mean = 0.0;
    k.sigma = 1.0;
    k.step = 0.001;
    const double a = 1.0 / (std::sqrt(std::atan(1.0) * 4.0 * 2.0) * k.sigma);
    const double two_sigma_sq = k.sigma * 2.0 * k.sigma;
    const uint32_t half = size / 2;
    const uint32_t count = static_cast<uint32_t>(k.sigma * 3.0 / k.step);
    const uint32_t group = count / half;

    k.weights[half] = static_cast<float>(std::exp(-(0.0 / two_sigma_sq)) * a);
    double acc = 0.0;
    uint32_t tap = 0;
    for (uint32_t j = 0; j < count && tap < half; ++j) {
        const double x = j * k.step - k.sigma * 3.0;
        acc += std::exp(-(x * x / two_sigma_sq));
        if ((j + 1) % group == 0) {
            const float w = static_cast<float>(acc * a / group);
            acc = 0.0;
            k.weights[tap] = w;
            k.weights[size - 1 - tap] = w;
            ++tap;
        }
    }
    float sum = 0.0f;
    for (uint32_t i = 0; i < size; ++i) sum += std::fabs(k.weights[i]);
    k.norm = reciprocal_or_zero(sum);
    broadcast(k);
}

void build_box(BoxKernel& k, uint32_t size) {
    reset(k, size);
    for (uint32_t i = 0; i < size; ++i) k.weights[i] = 1.0f;
    k.norm = reciprocal_or_zero(static_cast<float>(size));
    broadcast(k);
}

void build_tent(TentKernel& k, uint32_t size) {
    reset(k, size);
    const uint32_t m = (size + 1) / 2;
    for (uint32_t i = 0; i + 1 < m; ++i) {
        k.weights[i] = k.weights[size - 1 - i] = static_cast<float>(i + 1);
    }
    k.weights[m - 1] = static_cast<float>(m);
    float sum = 0.0f;
    for (uint32_t i = 0; i < size; ++i) sum += k.weights[i];
    k.norm = reciprocal_or_zero(sum);
    broadcast(k);
}

}  // namespace rk
