// The body of grey_taps.h, written once over a vector of floats and compiled by
// one file per instruction set, with the image passes' vector helpers; it has
// internal linkage (no function compiled for one processor may be shared with
// another file).
#pragma once

#include <cstdint>

#include "filter/convolve_lines.h"

namespace rk {
namespace {

template <class V>
inline V splat_v(float x) noexcept {
    V v;
    for (size_t i = 0; i < kLanes<V>; ++i) v[i] = x;
    return v;
}

template <class V>
void grey_taps_body(float* out, const float* const* taps, const float* weight, uint32_t size,
                    float norm, uint32_t n) noexcept {
    constexpr uint32_t lanes = kLanes<V>;
    const V nv = splat_v<V>(norm);
    uint32_t x = 0;
    for (; x + 2 * lanes <= n; x += 2 * lanes) {
        V a = {}, b = {};
        for (uint32_t k = 0; k < size; ++k) {
            const V wk = splat_v<V>(weight[k]);
            a += wk * load<V>(taps[k] + x);
            b += wk * load<V>(taps[k] + x + lanes);
        }
        store(out + x, a * nv);
        store(out + x + lanes, b * nv);
    }
    for (; x < n; ++x) {
        float sum = 0.0f;
        for (uint32_t k = 0; k < size; ++k) sum += weight[k] * taps[k][x];
        out[x] = sum * norm;
    }
}

}  // namespace
}  // namespace rk
