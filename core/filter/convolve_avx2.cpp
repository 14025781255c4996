// The whole-image passes built for processors with AVX2, dispatched by convolve.cpp.
#include "filter/convolve_lines.h"

namespace rk {

void convolve_rows_avx2(const ConvolveJob& job) noexcept {
    rows_pass<v8f>(job);
}

void convolve_columns_avx2(const ConvolveJob& job) noexcept {
    columns_pass<v8f, 8, 2>(job);
}

}  // namespace rk
