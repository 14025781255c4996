// One-dimensional symmetric blur kernels of an odd number of taps. The taps are
// not normalised; a convolution multiplies its tap sum by norm.
#pragma once

#include <cstdint>

namespace rk {

inline constexpr uint32_t kKernelSlots = 255;  // sizes 0..254 have a cache slot

struct BlurKernel {
    float weights[256];                 // taps 0..size-1
    alignas(16) float weights4[255][4]; // tap i in all four lanes, for whole-pixel products
    float norm;                         // 1 / sum of |taps|, or 0
    alignas(16) float norm4[4];
    uint32_t size;
};

struct GaussianKernel : BlurKernel {
    double mean = 0.0;
    double sigma = 1.0;
    double step = 0.001;
};
struct BoxKernel : BlurKernel {};
struct TentKernel : BlurKernel {};

enum KernelKind : uint32_t { KERNEL_GAUSSIAN = 0, KERNEL_BOX = 1, KERNEL_TENT = 2 };

// Builds the taps and norm for an odd size 3..254 into k (zeroing the rest).
void build_gaussian(GaussianKernel& k, uint32_t size);
void build_box(BoxKernel& k, uint32_t size);
void build_tent(TentKernel& k, uint32_t size);

}  // namespace rk
