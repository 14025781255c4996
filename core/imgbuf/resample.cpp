#include <cmath>

#include "common/thread_pool.h"
#include "imgbuf/imgbuf.h"

using namespace rk;

namespace {

struct Pixel {
    float c[4];
};

// Corner samples outside the source take white.
constexpr Pixel kOutside = {{1.0f, 1.0f, 1.0f, 1.0f}};

inline const Pixel& fetch(const imgbuf* img, uint32_t x, uint32_t row) noexcept {
    if (x >= img->width || row >= img->height) return kOutside;
    return *reinterpret_cast<const Pixel*>(row_unchecked(img, row) + 4 * static_cast<size_t>(x));
}

// Truncates toward zero to 64 bits and keeps the low 32 bits, so that a negative
// coordinate wraps to a large index and falls outside the image.
inline uint32_t index_of(float f) noexcept {
    if (!(f > -9.2e18f && f < 9.2e18f)) return 0xFFFFFFFFu;  // no 64-bit integer: outside
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(f)));
}

// A corner's share of a sample. A sample that falls exactly on a column or row
// gives the next one weight 0, and 0 * inf or 0 * NaN would be NaN: an infinite
// or NaN pixel would spoil its neighbours (even a same-size resample) although
// it has no part in them. Such a corner adds 0; finite values as before.
inline float term(float weight, float value) noexcept {
    return weight * (weight == 0.0f && !std::isfinite(value) ? 0.0f : value);
}

// x counts columns from the left; v counts rows upward from the bottom row.
Pixel sample_bilinear(const imgbuf* img, float x, float v) noexcept {
    const float fx0 = std::floor(x);
    const float fv0 = std::floor(v);
    float tx = x - fx0;
    float tv = v - fv0;
    uint32_t x0 = index_of(fx0);
    uint32_t up = index_of(fv0);
    // Past 2^24 a float cannot hold every position: the last column's or row's
    // may round beyond the source's edge, which is where it belongs (corners
    // onto corners), not outside it. Smaller sources never get there.
    if (x0 >= img->width && img->width) {
        x0 = img->width - 1;
        tx = 0.0f;
    }
    if (up >= img->height && img->height) {
        up = img->height - 1;
        tv = 0.0f;
    }
    const uint32_t x1 = x0 + 1;
    const uint32_t r0 = img->height - up - 1;
    const uint32_t r1 = r0 - 1;
    const Pixel& p00 = fetch(img, x0, r0);
    const Pixel& p10 = fetch(img, x1, r0);
    const Pixel& p01 = fetch(img, x0, r1);
    const Pixel& p11 = fetch(img, x1, r1);
    const float w00 = (1.0f - tv) * (1.0f - tx);
    const float w10 = (1.0f - tv) * tx;
    const float w01 = (1.0f - tx) * tv;
    const float w11 = tv * tx;
    Pixel out;
    for (int i = 0; i < 4; ++i) {
        out.c[i] = ((w00 * p00.c[i] + term(w10, p10.c[i])) + term(w01, p01.c[i])) +
                   term(w11, p11.c[i]);
    }
    return out;
}

// Corners map onto corners. A target of one column or row has no spacing to
// divide by (it would give NaN): it samples the source's first column or row.
inline float scale(uint32_t from, uint32_t to) noexcept {
    if (to <= 1) return 0.0f;
    return static_cast<float>(from - 1) / static_cast<float>(to - 1);
}

// The sampler counts rows upward from the bottom; the first row is the top one,
// the source's own top row exactly: (to - 1) * sy may round past it (and take in
// a share of the white beyond) or fall short of it.
inline float row_height(uint32_t y, uint32_t to, uint32_t from, float sy) noexcept {
    if (to == 1 || y == 0) return static_cast<float>(from - 1);
    return static_cast<float>(to - y - 1) * sy;
}

}  // namespace

extern "C" {

RK_API imgbuf* imgbuf_resample(const imgbuf* src, uint32_t w, uint32_t h) noexcept {
    if (!src || (!src->pixels && src->width && src->height)) return nullptr;
    const LibraryCall busy;
    ImgbufPtr dst = make_image(w, h);
    if (!dst) return nullptr;
    const float sx = scale(src->width, w);
    const float sy = scale(src->height, h);
    imgbuf* out = dst.get();
    parallel_rows(h, 16, [=](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float v = row_height(y, h, src->height, sy);
            Pixel* row = reinterpret_cast<Pixel*>(row_unchecked(out, y));
            for (uint32_t x = 0; x + 1 < w; ++x)
                row[x] = sample_bilinear(src, static_cast<float>(x) * sx, v);
            // The last column samples the source's last exactly, as the top row
            // its top row.
            if (w > 1) row[w - 1] = sample_bilinear(src, static_cast<float>(src->width - 1), v);
            if (w == 1) row[0] = sample_bilinear(src, 0.0f, v);
        }
    });
    return dst.release();
}

}  // extern "C"
