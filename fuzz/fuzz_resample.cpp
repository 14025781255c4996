// imgbuf_resample of any source to any target size up to 96 x 96. Bilinear,
// corners onto corners: the result has the target's size, its corner pixels
// are the source's, and a source of one value gives that value.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"

namespace {

// The target's corners hold the source's, where those are finite. The other
// corners of a corner's sample add 0 times themselves, which turns -0 into +0:
// hence == rather than the same bits. A target of one column or row takes the
// first column or the top row.
bool corners_kept(const imgbuf* src, const imgbuf* out) {
    const uint32_t w = imgbuf_w(out), h = imgbuf_h(out);
    for (uint32_t corner = 0; corner < 4; ++corner) {
        const bool right = corner & 1, bottom = corner & 2;
        const float* from = imgbuf_row(src, bottom && h > 1 ? imgbuf_h(src) - 1 : 0) +
                            4 * size_t{right && w > 1 ? imgbuf_w(src) - 1 : 0};
        const float* to = imgbuf_row(out, bottom ? h - 1 : 0) + 4 * size_t{right ? w - 1 : 0};
        for (int i = 0; i < 4; ++i) {
            if (std::isfinite(from[i]) && to[i] != from[i]) return false;
        }
    }
    return true;
}

// Every value of out is c but for the weights' rounding: their sum may miss 1
// by an ulp or two (4 eps of |c| holds with room to spare).
bool only(const imgbuf* out, float c) {
    for (uint32_t y = 0; y < imgbuf_h(out); ++y) {
        const float* row = imgbuf_row(out, y);
        for (uint32_t i = 0; i < imgbuf_w(out) * 4; ++i) {
            if (!(std::fabs(row[i] - c) <= 4 * FLT_EPSILON * std::fabs(c))) return false;
        }
    }
    return true;
}

void fill(imgbuf* img, float c) {
    for (uint32_t y = 0; y < imgbuf_h(img); ++y) {
        float* row = imgbuf_row(img, y);
        for (uint32_t i = 0; i < imgbuf_w(img) * 4; ++i) row[i] = c;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t w = in.byte() % 97;
    const uint32_t h = in.byte() % 97;
    // Now and then a source of one value: a normal one (no overflow on the
    // way, no subnormal's coarse steps) or 0.
    const bool one_value = in.byte() < 64;
    const float c = in.param();
    imgbuf* src = in.image();
    if (!src) return 0;
    const bool even = one_value && (c == 0 || (std::isnormal(c) && std::fabs(c) <= 1e30f));
    if (even) fill(src, c);
    imgbuf* out = imgbuf_resample(src, w, h);
    if (out && (imgbuf_w(out) != w || imgbuf_h(out) != h)) std::abort();
    const bool samples = out && w && h && imgbuf_w(src) && imgbuf_h(src);
    if (samples && (!corners_kept(src, out) || (even && !only(out, c)))) std::abort();
    delete_imgbuf(out);
    delete_imgbuf(src);
    return 0;
}
