#include "save/png_rows.h"

#include "imgbuf/pixel_convert.h"

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

template <int Bits, int Samples>
void convert_row(const float* src, uint8_t* dst, uint32_t width, ChannelMap ch) noexcept {
    constexpr int kBytes = Bits / 8;
    for (uint32_t x = 0; x < width; ++x, src += 4, dst += Samples * kBytes) {
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
