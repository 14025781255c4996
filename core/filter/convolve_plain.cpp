// The whole-image passes built for every x86-64 processor (and any other target), dispatched by
// convolve.cpp.
#include "filter/convolve_lines.h"

namespace rk {

void convolve_rows_plain(const ConvolveJob& job) noexcept {
    rows_pass<v4f>(job);
}

void convolve_columns_plain(const ConvolveJob& job) noexcept {
    columns_pass<v4f, 2, 2>(job);
}

}  // namespace rk
