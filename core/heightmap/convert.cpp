#include "heightmap/convert.h"

#include <bit>

#include "common/thread_pool.h"
#include "imgbuf/luminance.h"

namespace rk {
namespace {

// The single-precision value nearest 1/3, applied as a multiplication.
constexpr float kThird = std::bit_cast<float>(0x3EAAAAABu);

template <bool Invert>
inline float level(float v) noexcept {
    return Invert ? 1.0f - v : v;
}

// Modes 0..2: one channel, unclamped; alpha passes through.
template <int Channel, bool Invert>
void single_channel(float* dst, const float* src, uint32_t count) noexcept {
    for (uint32_t x = 0; x < count; ++x, src += 4, dst += 4) {
        const float h = level<Invert>(src[Channel]);
        const float a = src[3];
        dst[0] = h;
        dst[1] = h;
        dst[2] = h;
        dst[3] = a;
    }
}

// Modes 3..5: the mean of two channels; alpha goes through the same arithmetic,
// inverted along with each channel.
template <int First, int Second, bool InvertFirst, bool InvertSecond>
void channel_pair(float* dst, const float* src, uint32_t count) noexcept {
    for (uint32_t x = 0; x < count; ++x, src += 4, dst += 4) {
        const float h =
            clamp01(0.5f * (level<InvertFirst>(src[First]) + level<InvertSecond>(src[Second])));
        const float a = clamp01(0.5f * (level<InvertFirst>(src[3]) + level<InvertSecond>(src[3])));
        dst[0] = h;
        dst[1] = h;
        dst[2] = h;
        dst[3] = a;
    }
}

// Mode 6: the mean of all three channels, summed green, red, blue.
template <bool InvertRed, bool InvertGreen, bool InvertBlue>
void average(float* dst, const float* src, uint32_t count) noexcept {
    for (uint32_t x = 0; x < count; ++x, src += 4, dst += 4) {
        const float h = clamp01(
            ((level<InvertGreen>(src[1]) + level<InvertRed>(src[0])) + level<InvertBlue>(src[2])) *
            kThird);
        const float a = clamp01(
            ((level<InvertGreen>(src[3]) + level<InvertRed>(src[3])) + level<InvertBlue>(src[3])) *
            kThird);
        dst[0] = h;
        dst[1] = h;
        dst[2] = h;
        dst[3] = a;
    }
}

// Modes 6 and 7 number their variants by inversion bits: 4 red, 2 green, 1 blue.
template <unsigned Variant>
void average_variant(float* dst, const float* src, uint32_t count) noexcept {
    average<(Variant & 4) != 0, (Variant & 2) != 0, (Variant & 1) != 0>(dst, src, count);
}

template <unsigned Variant>
void luminance_variant(float* dst, const float* src, uint32_t count) noexcept {
    luminance_row<(Variant & 4) != 0, (Variant & 2) != 0, (Variant & 1) != 0>(dst, src, count);
}

// Per mode 0..2: (none, inverted).
constexpr ConvertRow kSingleChannel[6] = {
    single_channel<0, false>, single_channel<0, true>,  single_channel<1, false>,
    single_channel<1, true>,  single_channel<2, false>, single_channel<2, true>,
};
constexpr uint32_t kSingleChannelBit[3] = {HM_INVERT_RED, HM_INVERT_GREEN, HM_INVERT_BLUE};

// Per mode 3..5: (none, second inverted, first inverted, both).
constexpr ConvertRow kChannelPair[12] = {
    channel_pair<0, 1, false, false>, channel_pair<0, 1, false, true>,
    channel_pair<0, 1, true, false>,  channel_pair<0, 1, true, true>,
    channel_pair<0, 2, false, false>, channel_pair<0, 2, false, true>,
    channel_pair<0, 2, true, false>,  channel_pair<0, 2, true, true>,
    channel_pair<1, 2, false, false>, channel_pair<1, 2, false, true>,
    channel_pair<1, 2, true, false>,  channel_pair<1, 2, true, true>,
};
struct BitPair {
    uint32_t first;
    uint32_t second;
};
constexpr BitPair kChannelPairBits[3] = {
    {HM_INVERT_RED, HM_INVERT_GREEN},
    {HM_INVERT_RED, HM_INVERT_BLUE},
    {HM_INVERT_GREEN, HM_INVERT_BLUE},
};

constexpr ConvertRow kAverage[8] = {
    average_variant<0>, average_variant<1>, average_variant<2>, average_variant<3>,
    average_variant<4>, average_variant<5>, average_variant<6>, average_variant<7>,
};
constexpr ConvertRow kLuminance[8] = {
    luminance_variant<0>, luminance_variant<1>, luminance_variant<2>, luminance_variant<3>,
    luminance_variant<4>, luminance_variant<5>, luminance_variant<6>, luminance_variant<7>,
};

}  // namespace

ConvertRow conversion_variant(uint32_t mode, uint32_t flags) noexcept {
    const auto has = [flags](uint32_t bit) -> uint32_t { return (flags & bit) ? 1 : 0; };
    if (mode <= 2) return kSingleChannel[2 * mode + has(kSingleChannelBit[mode])];
    if (mode <= 5) {
        const BitPair bits = kChannelPairBits[mode - 3];
        return kChannelPair[4 * (mode - 3) + 2 * has(bits.first) + has(bits.second)];
    }
    if (mode > 7) return nullptr;
    const uint32_t variant =
        4 * has(HM_INVERT_RED) + 2 * has(HM_INVERT_GREEN) + has(HM_INVERT_BLUE);
    return mode == 6 ? kAverage[variant] : kLuminance[variant];
}

// Mode 7 reads the source directly rather than converting a copy in place: the
// values are the same and the copy is saved.
void convert_to_height(imgbuf* dst, const imgbuf* src, ConvertRow variant) noexcept {
    if (!has_pixels(dst) || !has_pixels(src) || !same_size(dst, src) || !variant) return;
    parallel_rows(dst->height, 32, [&](uint32_t y0, uint32_t y1) noexcept {
        for (uint32_t y = y0; y < y1; ++y) {
            variant(row_unchecked(dst, y), row_unchecked(src, y), dst->width);
        }
    });
}

}  // namespace rk
