// The whole-image passes built for processors with AVX2, dispatched by convolve.cpp.
#include "filter/convolve_lines.h"

namespace rk {

void convolve_rows_avx2(const ConvolveJob& job) noexcept {
    rows_pass<v8f>(job);
}

// Four lines of two vectors: eight lines' sixteen sums do not fit AVX2's sixteen
// registers beside the sources, and the spilled sums cost more than the source
// loads that the longer block saves (measured 5 to 10 % slower); six or five
// lines of two vectors, eight of one and four of three measured no faster. The
// inner loop keeps all eight sums in registers only when GCC does not carry
// weights between source rows (see CMakeLists.txt).
void convolve_columns_avx2(const ConvolveJob& job) noexcept {
    columns_pass<v8f, 4, 2>(job);
}

}  // namespace rk
