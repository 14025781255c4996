#include "save/mip_chain.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/thread_pool.h"

namespace rk {
namespace {

// The sRGB transfer functions (IEC 61966-2-1).
float srgb_to_linear(float c) noexcept {
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

float linear_to_srgb(float l) noexcept {
    return l <= 0.0031308f ? l * 12.92f : 1.055f * std::pow(l, 1.0f / 2.4f) - 0.055f;
}

// A stored value as the block encoders take it: clamped to 0..1, NaN as 0. The
// filter starts from these, so that every level is the downsampling of what
// level 0 shows (a value of 4 shows as 1 there and must not brighten the rest).
float shown(float v) noexcept {
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}

void normalise(float* p) noexcept {
    const float length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    if (!(length > 0.0f) || !std::isfinite(length)) {
        p[0] = 0.0f;
        p[1] = 0.0f;
        p[2] = 1.0f;
        return;
    }
    p[0] /= length;
    p[1] /= length;
    p[2] /= length;
}

// The source pixels under one pixel of the smaller level and their weights.
// With m = max(1, n / 2) a footprint is n / m <= 3 pixels long and starts in a
// pixel's first part, so it touches at most 3.
struct Taps {
    uint32_t first = 0;
    uint32_t count = 0;
    float weight[3] = {};
};

// In units of 1/m, pixel j of the larger level spans [j m, (j + 1) m) and pixel
// i of the smaller one [i n, (i + 1) n); the overlaps are exact integers.
std::vector<Taps> box_taps(uint32_t n, uint32_t m) {
    std::vector<Taps> taps(m);
    for (uint32_t i = 0; i < m; ++i) {
        const uint64_t begin = uint64_t{i} * n;
        const uint64_t end = begin + n;
        Taps& t = taps[i];
        t.first = static_cast<uint32_t>(begin / m);
        for (uint64_t j = t.first; j * m < end && t.count < 3; ++j) {
            const uint64_t lo = std::max(begin, j * m);
            const uint64_t hi = std::min(end, (j + 1) * m);
            t.weight[t.count++] = static_cast<float>(hi - lo) / static_cast<float>(n);
        }
    }
    return taps;
}

}  // namespace

uint32_t mip_level_count(uint32_t width, uint32_t height) noexcept {
    uint32_t levels = 1;
    for (uint32_t side = std::max(width, height); side > 1; side /= 2) ++levels;
    return levels;
}

void to_filter_pixel(float rgba[4], MipSpace space) noexcept {
    std::transform(rgba, rgba + 4, rgba, shown);
    if (space == MipSpace::srgb) {
        for (int c = 0; c < 3; ++c) rgba[c] = srgb_to_linear(rgba[c]);
    } else if (space == MipSpace::normal) {
        rgba[0] = 2.0f * rgba[0] - 1.0f;
        rgba[1] = 2.0f * rgba[1] - 1.0f;
        const float zz = 1.0f - rgba[0] * rgba[0] - rgba[1] * rgba[1];
        rgba[2] = zz > 0.0f ? std::sqrt(zz) : 0.0f;
        normalise(rgba);
    }
}

ImgbufPtr to_filter_space(const imgbuf* img, MipSpace space) noexcept {
    ImgbufPtr out = make_image(img->width, img->height);
    if (!out) return nullptr;
    // A row's pixels, not its stride: a wrapped image's rows may be padded.
    const uint32_t floats = img->width * 4u;
    parallel_rows(img->height, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            const float* s = row_unchecked(img, y);
            float* d = row_unchecked(out.get(), y);
            std::copy_n(s, floats, d);
            for (uint32_t i = 0; i < floats; i += 4) to_filter_pixel(d + i, space);
        }
    });
    return out;
}

ImgbufPtr next_mip_level(const imgbuf* level, MipSpace space, bool stored_level) noexcept {
    const uint32_t w = std::max(1u, level->width / 2);
    const uint32_t h = std::max(1u, level->height / 2);
    std::vector<Taps> across, down;
    try {
        across = box_taps(level->width, w);
        down = box_taps(level->height, h);
    } catch (...) {
        return nullptr;
    }
    ImgbufPtr out = make_image(w, h);
    if (!out) return nullptr;
    // Plain levels hold stored values, level 0 among them (the image itself);
    // the other spaces' were made shown by to_filter_space (and a normal's
    // components run from -1 to 1), or are taken there pixel by pixel.
    const bool stored = space == MipSpace::plain || stored_level;
    parallel_rows(h, 16, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            float* d = row_unchecked(out.get(), y);
            const Taps& ty = down[y];
            for (uint32_t x = 0; x < w; ++x) {
                const Taps& tx = across[x];
                float sum[4] = {};
                bool opaque = true;
                for (uint32_t j = 0; j < ty.count; ++j) {
                    const float* row = row_unchecked(level, ty.first + j) + 4 * size_t{tx.first};
                    float part[4] = {};
                    for (uint32_t i = 0; i < tx.count; ++i) {
                        float v[4];
                        std::copy_n(row + 4 * i, 4, v);
                        if (stored) to_filter_pixel(v, space);
                        opaque &= v[3] == 1.0f;
                        for (int c = 0; c < 4; ++c) part[c] += tx.weight[i] * v[c];
                    }
                    for (int c = 0; c < 4; ++c) sum[c] += ty.weight[j] * part[c];
                }
                // Weights such as k / 25 add up to a hair under 1 in float: an
                // opaque area would come out at alpha 0.99999994, which BC7's
                // mode 6 may then store as 254.
                if (opaque) sum[3] = 1.0f;
                std::copy_n(sum, 4, d + 4 * size_t{x});
            }
            if (space != MipSpace::normal) continue;
            for (uint32_t x = 0; x < w; ++x) normalise(d + 4 * size_t{x});
        }
    });
    return out;
}

void from_filter_space(float rgba[4], MipSpace space) noexcept {
    if (space == MipSpace::srgb) {
        for (int c = 0; c < 3; ++c) rgba[c] = linear_to_srgb(rgba[c]);
    } else if (space == MipSpace::normal) {
        for (int c = 0; c < 3; ++c) rgba[c] = 0.5f + 0.5f * rgba[c];
    }
}

}  // namespace rk
