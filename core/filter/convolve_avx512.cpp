// The whole-image passes built for processors with AVX512, dispatched by convolve.cpp.
#include "filter/convolve_lines.h"

namespace rk {

void convolve_rows_avx512(const ConvolveJob& job) noexcept {
    rows_pass<v16f>(job);
}

void convolve_columns_avx512(const ConvolveJob& job) noexcept {
    columns_pass<v16f, 8, 2>(job);
}

}  // namespace rk
