// The whole-image passes built for processors with AVX2, dispatched by convolve.cpp.
#include "filter/convolve_lines.h"

namespace rk {

void convolve_rows_avx2(const ConvolveJob& job) noexcept {
    rows_pass<v8f>(job);
}

// Eight lines of one vector: each source vector feeds eight sums, so a source
// row is loaded once per eight outputs, and the eight sums, the source and a
// product fit AVX2's sixteen registers (eight lines of two vectors do not: the
// spilled sums cost more than the loads saved). A step takes half a 64-byte line
// of each source row; the banded blur pads its ring rows so that the other half
// is still in the level-1 cache one step later (convolve.cpp). With that, four
// lines of two vectors (the earlier choice), six or five of two and four of
// three measured slower. The sums stay in registers only when GCC does not carry
// weights between source rows (see CMakeLists.txt).
void convolve_columns_avx2(const ConvolveJob& job) noexcept {
    columns_pass<v8f, 8, 1>(job);
}

}  // namespace rk
