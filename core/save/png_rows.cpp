#include "save/png_rows.h"

#include "imgbuf/pixel_convert.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rk {
namespace {

template <int Bits>
inline void put_sample(uint8_t* dst, float v) noexcept {
    if constexpr (Bits == 16) {
        const uint16_t w = float_to_word(v);
        dst[0] = static_cast<uint8_t>(w >> 8);
        dst[1] = static_cast<uint8_t>(w);
    } else {
        dst[0] = float_to_byte(v);
    }
}

#if defined(__SSE2__)
// Four pixels' channels as float_to_byte gives them, in pixel order: maxps
// answers its second operand (0) for NaN, as the scalar test does.
inline void four_pixels_to_bytes(const float* src, uint8_t out[16]) noexcept {
    const __m128 scale = _mm_set1_ps(255.0f), half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps();
    __m128i q[4];
    for (int k = 0; k < 4; ++k) {
        const __m128 t = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(src + 4 * k), scale), half);
        q[k] = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(t, zero), scale));
    }
    const __m128i words = _mm_packs_epi32(q[0], q[1]), more = _mm_packs_epi32(q[2], q[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, more));
}
#endif

template <int Bits, int Samples>
void convert_row(const float* src, uint8_t* dst, uint32_t width, ChannelMap ch) noexcept {
    constexpr int kBytes = Bits / 8;
    uint32_t x = 0;
#if defined(__SSE2__)
    if constexpr (Bits == 8) {
        for (; x + 4 <= width; x += 4, src += 16, dst += 4 * Samples) {
            uint8_t b[16];
            four_pixels_to_bytes(src, b);
            for (int k = 0; k < 4; ++k) {
                dst[Samples * k] = b[4 * k + ch.red];
                if constexpr (Samples >= 3) {
                    dst[Samples * k + 1] = b[4 * k + ch.green];
                    dst[Samples * k + 2] = b[4 * k + ch.blue];
                }
                if constexpr (Samples == 4) dst[4 * k + 3] = b[4 * k + ch.alpha];
            }
        }
    }
#endif
    for (; x < width; ++x, src += 4, dst += Samples * kBytes) {
        put_sample<Bits>(dst, src[ch.red]);
        if constexpr (Samples >= 3) {
            put_sample<Bits>(dst + kBytes, src[ch.green]);
            put_sample<Bits>(dst + 2 * kBytes, src[ch.blue]);
        }
        if constexpr (Samples == 4) put_sample<Bits>(dst + 3 * kBytes, src[ch.alpha]);
    }
}

}  // namespace

bool png_format_valid(const PngFormat& f) noexcept {
    const ChannelMap& c = f.channels;
    return (f.bit_depth == 8 || f.bit_depth == 16) &&
           (f.samples == 1 || f.samples == 3 || f.samples == 4) && f.level <= 9 && c.red <= 3 &&
           c.green <= 3 && c.blue <= 3 && c.alpha <= 3;
}

size_t png_row_size(uint32_t width, const PngFormat& f) noexcept {
    return size_t{width} * f.samples * (f.bit_depth / 8);
}

PngRowSource::PngRowSource(const imgbuf* img, const PngFormat& f) noexcept
    : img_(img), channels_(f.channels) {
    const bool wide = f.bit_depth == 16;
    if (f.samples == 1) {
        convert_ = wide ? convert_row<16, 1> : convert_row<8, 1>;
    } else if (f.samples == 3) {
        convert_ = wide ? convert_row<16, 3> : convert_row<8, 3>;
    } else {
        convert_ = wide ? convert_row<16, 4> : convert_row<8, 4>;
    }
}

void PngRowSource::operator()(uint32_t y, uint8_t* row_bytes) const noexcept {
    convert_(row_unchecked(img_, y), row_bytes, img_->width, channels_);
}

}  // namespace rk
