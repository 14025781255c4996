#include "preview.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace rkcli {

Image render_preview(const imgbuf* normal_map, const NormalEncoding& encoding) {
    const uint32_t width = imgbuf_w(normal_map);
    const uint32_t height = imgbuf_h(normal_map);
    Image preview(create_imgbuf(width, height));
    if (!preview || (width > 0 && height > 0 && !imgbuf_buf(preview.get()))) return nullptr;

    // Decoding constants chosen once, so the pixel loop has no tests.
    const float x_sign = encoding.inverted_x ? -1.0f : 1.0f;
    const float y_sign = encoding.inverted_y ? -1.0f : 1.0f;
    const float z_scale = encoding.blue_biased ? 2.0f : 1.0f;
    const float z_offset = encoding.blue_biased ? -1.0f : 0.0f;
    const auto [lx, ly, lz] = kLightDirection;
    // A zero-length normal (a broken pixel) must shade black, not NaN.
    constexpr float kTinySquare = 1e-20f;

    for (uint32_t y = 0; y < height; ++y) {
        const float* in = imgbuf_row(normal_map, y);
        float* out = imgbuf_row(preview.get(), y);
        if (!in || !out) return nullptr;
        for (uint32_t x = 0; x < width; ++x, in += 4, out += 4) {
            const float nx = (in[0] * 2.0f - 1.0f) * x_sign;
            const float ny = (in[1] * 2.0f - 1.0f) * y_sign;
            const float nz = in[2] * z_scale + z_offset;
            const float length = std::sqrt(std::max(nx * nx + ny * ny + nz * nz, kTinySquare));
            const float lit = (nx * lx + ny * ly + nz * lz) / length;
            // max first: it answers 0 for a NaN, which a broken pixel must not pass on.
            const float shade = std::min(std::max(0.0f, lit), 1.0f);
            out[0] = shade;
            out[1] = shade;
            out[2] = shade;
            out[3] = 1.0f;
        }
    }
    return preview;
}

Image tiled(const imgbuf* image, uint32_t n) {
    const uint32_t width = imgbuf_w(image);
    const uint32_t height = imgbuf_h(image);
    const uint64_t big_width = uint64_t{width} * n;
    const uint64_t big_height = uint64_t{height} * n;
    if (big_width > UINT32_MAX || big_height > UINT32_MAX) return nullptr;
    Image out(create_imgbuf(static_cast<uint32_t>(big_width), static_cast<uint32_t>(big_height)));
    if (!out || (big_width > 0 && big_height > 0 && !imgbuf_buf(out.get()))) return nullptr;
    const size_t row_bytes = size_t{width} * 16;
    for (uint32_t y = 0; y < big_height; ++y) {
        const float* in = imgbuf_row(image, y % height);
        float* row = imgbuf_row(out.get(), y);
        for (uint32_t i = 0; i < n; ++i) std::memcpy(row + 4 * size_t{width} * i, in, row_bytes);
    }
    return out;
}

}  // namespace rkcli
