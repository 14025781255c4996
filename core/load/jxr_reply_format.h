// The answer of the JPEG XR decoding helper (reliefkit-jxr-decode) as it crosses
// the pipe to the library: a fixed header of kJxrReplyHeaderBytes, then, for a
// decoded picture, its bytes blue, green, red, pixel after pixel and row after
// row. Both sides include this file; it needs nothing of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rk {

inline constexpr char kJxrReplyMagic[8] = {'R', 'K', 'J', 'X', 'R', 'B', 'G', 'R'};
inline constexpr uint32_t kJxrReplyVersion = 1;
inline constexpr size_t kJxrReplyHeaderBytes = 32;

// What the helper made of its input. Every status but decoded has no payload.
enum class JxrReplyStatus : uint32_t {
    decoded = 0,
    refused = 1,        // jxrlib would not read the container or codestream header
    not_bgr24 = 2,      // a pixel format other than 24-bit BGR
    size_differs = 3,   // the codestream's size is not the container's
    damaged = 4,        // the tile data could not be decoded
    out_of_memory = 5,  // an allocation failed inside the helper's limits
    bad_request = 6,    // the helper's own input or arguments were unusable
};
inline constexpr uint32_t kJxrReplyStatusCount = 7;

struct JxrReplyHeader {
    uint32_t status = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t payload_bytes = 0;
};

// Layout: magic, version, status, width, height (32-bit), payload bytes (64-bit),
// all little-endian.
inline void encode_jxr_reply_header(const JxrReplyHeader& h, uint8_t* out) noexcept {
    auto put = [&out](uint64_t v, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(v >> (8 * i));
    };
    std::memcpy(out, kJxrReplyMagic, sizeof kJxrReplyMagic);
    out += sizeof kJxrReplyMagic;
    put(kJxrReplyVersion, 4);
    put(h.status, 4);
    put(h.width, 4);
    put(h.height, 4);
    put(h.payload_bytes, 8);
}

// False for a header with the wrong magic or version.
inline bool decode_jxr_reply_header(const uint8_t* in, JxrReplyHeader& h) noexcept {
    if (std::memcmp(in, kJxrReplyMagic, sizeof kJxrReplyMagic) != 0) return false;
    in += sizeof kJxrReplyMagic;
    auto get = [&in](size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= uint64_t{*in++} << (8 * i);
        return v;
    };
    if (get(4) != kJxrReplyVersion) return false;
    h.status = static_cast<uint32_t>(get(4));
    h.width = static_cast<uint32_t>(get(4));
    h.height = static_cast<uint32_t>(get(4));
    h.payload_bytes = get(8);
    return true;
}

}  // namespace rk
