// Per-pixel DDS layouts: each struct turns one stored pixel into RGBA floats, and
// decode_pixels<Layout> runs it over a row. Integer fields become floats by a
// true single-precision division by the field's maximum; float layouts keep the
// stored bit patterns, NaNs and infinities included.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "imgbuf/imgbuf.h"
#include "load/le_reader.h"

namespace rk::dds {

template <uint32_t Max>
inline float unorm(uint32_t v) noexcept {
    return static_cast<float>(v) / static_cast<float>(Max);
}

inline void put(float* d, float r, float g, float b, float a) noexcept {
    d[0] = r;
    d[1] = g;
    d[2] = b;
    d[3] = a;
}

template <class Layout>
void decode_pixels(imgbuf* img, uint32_t y, const uint8_t* src) noexcept {
    float* out = row_unchecked(img, y);
    const uint32_t width = img->width;
    for (uint32_t x = 0; x < width; ++x, src += Layout::bytes, out += 4) Layout::decode(src, out);
}

// Mask-described layouts; the name lists the channels from the top bit down.

template <bool Alpha>
struct A8B8G8R8 {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le32(s);
        put(d, unorm<255>(v & 255), unorm<255>((v >> 8) & 255), unorm<255>((v >> 16) & 255),
            Alpha ? unorm<255>(v >> 24) : 1.0f);
    }
};

template <bool Alpha>
struct A8R8G8B8 {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le32(s);
        put(d, unorm<255>((v >> 16) & 255), unorm<255>((v >> 8) & 255), unorm<255>(v & 255),
            Alpha ? unorm<255>(v >> 24) : 1.0f);
    }
};

struct G16R16 {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le32(s);
        put(d, unorm<65535>(v & 65535), unorm<65535>(v >> 16), 0.0f, 1.0f);
    }
};

// Also the layout whose template names no alpha mask: the top two bits still
// carry alpha.
struct A2B10G10R10 {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le32(s);
        put(d, unorm<1023>(v & 1023), unorm<1023>((v >> 10) & 1023), unorm<1023>((v >> 20) & 1023),
            unorm<3>(v >> 30));
    }
};

struct A2R10G10B10 {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le32(s);
        put(d, unorm<1023>((v >> 20) & 1023), unorm<1023>((v >> 10) & 1023), unorm<1023>(v & 1023),
            unorm<3>(v >> 30));
    }
};

struct R8G8B8 {
    static constexpr uint32_t bytes = 3;
    static void decode(const uint8_t* s, float* d) noexcept {
        put(d, unorm<255>(s[2]), unorm<255>(s[1]), unorm<255>(s[0]), 1.0f);
    }
};

// A one-bit alpha is 0 or 1 as it stands.
template <bool Alpha>
struct A1R5G5B5 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le16(s);
        put(d, unorm<31>((v >> 10) & 31), unorm<31>((v >> 5) & 31), unorm<31>(v & 31),
            Alpha ? static_cast<float>(v >> 15) : 1.0f);
    }
};

struct R5G6B5 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le16(s);
        put(d, unorm<31>(v >> 11), unorm<63>((v >> 5) & 63), unorm<31>(v & 31), 1.0f);
    }
};

template <bool Alpha>
struct A4R4G4B4 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le16(s);
        put(d, unorm<15>((v >> 8) & 15), unorm<15>((v >> 4) & 15), unorm<15>(v & 15),
            Alpha ? unorm<15>(v >> 12) : 1.0f);
    }
};

struct A8R3G3B2 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const uint32_t v = load_le16(s);
        put(d, unorm<7>((v >> 5) & 7), unorm<7>((v >> 2) & 7), unorm<3>(v & 3), unorm<255>(v >> 8));
    }
};

struct A8 {
    static constexpr uint32_t bytes = 1;
    static void decode(const uint8_t* s, float* d) noexcept {
        put(d, 0.0f, 0.0f, 0.0f, unorm<255>(s[0]));
    }
};

struct A8L8 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const float l = unorm<255>(s[0]);
        put(d, l, l, l, unorm<255>(s[1]));
    }
};

struct L16 {
    static constexpr uint32_t bytes = 2;
    static void decode(const uint8_t* s, float* d) noexcept {
        const float l = unorm<65535>(load_le16(s));
        put(d, l, l, l, 1.0f);
    }
};

struct L8 {
    static constexpr uint32_t bytes = 1;
    static void decode(const uint8_t* s, float* d) noexcept {
        const float l = unorm<255>(s[0]);
        put(d, l, l, l, 1.0f);
    }
};

struct A4L4 {
    static constexpr uint32_t bytes = 1;
    static void decode(const uint8_t* s, float* d) noexcept {
        const float l = unorm<15>(s[0] & 15u);
        put(d, l, l, l, unorm<15>(s[0] >> 4));
    }
};

// FourCC-described per-pixel layouts.

struct A16B16G16R16 {
    static constexpr uint32_t bytes = 8;
    static void decode(const uint8_t* s, float* d) noexcept {
        put(d, unorm<65535>(load_le16(s)), unorm<65535>(load_le16(s + 2)),
            unorm<65535>(load_le16(s + 4)), unorm<65535>(load_le16(s + 6)));
    }
};

inline float stored_float(const uint8_t* s) noexcept {
    return std::bit_cast<float>(load_le32(s));
}

struct R32F {
    static constexpr uint32_t bytes = 4;
    static void decode(const uint8_t* s, float* d) noexcept {
        put(d, stored_float(s), 0.0f, 0.0f, 1.0f);
    }
};

struct G32R32F {
    static constexpr uint32_t bytes = 8;
    static void decode(const uint8_t* s, float* d) noexcept {
        put(d, stored_float(s), stored_float(s + 4), 0.0f, 1.0f);
    }
};

// The stored row already is the image row: RGBA floats in little-endian order.
inline void decode_a32b32g32r32f(imgbuf* img, uint32_t y, const uint8_t* src) noexcept {
    static_assert(std::endian::native == std::endian::little, "rows are copied as stored");
    std::memcpy(row_unchecked(img, y), src, size_t{img->width} * 16);
}

}  // namespace rk::dds
