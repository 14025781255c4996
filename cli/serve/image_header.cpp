#include "image_header.h"

namespace rkserve {
namespace {

uint32_t byte_at(std::string_view b, size_t at) {
    return static_cast<uint8_t>(b[at]);
}

uint32_t big_endian(std::string_view b, size_t at, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value << 8 | byte_at(b, at + i);
    return value;
}

uint32_t little_endian32(std::string_view b, size_t at) {
    return byte_at(b, at) | byte_at(b, at + 1) << 8 | byte_at(b, at + 2) << 16 |
           byte_at(b, at + 3) << 24;
}

// Walks the marker segments up to the first start-of-frame.
std::optional<DeclaredSize> jpeg_size(std::string_view b) {
    size_t at = 2;
    while (at + 4 <= b.size()) {
        if (byte_at(b, at) != 0xFF) return std::nullopt;
        const uint32_t marker = byte_at(b, at + 1);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length follows
            at += 2;
            continue;
        }
        const uint32_t length = big_endian(b, at + 2, 2);
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > b.size()) return std::nullopt;
            return DeclaredSize{big_endian(b, at + 7, 2), big_endian(b, at + 5, 2)};
        }
        if (length < 2) return std::nullopt;
        at += 2 + length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<DeclaredSize> declared_size(std::string_view b) {
    if (b.size() >= 24 && b.starts_with("\x89PNG\r\n\x1a\n") && b.substr(12, 4) == "IHDR") {
        return DeclaredSize{big_endian(b, 16, 4), big_endian(b, 20, 4)};
    }
    if (b.size() >= 20 && b.starts_with("DDS ")) {
        return DeclaredSize{little_endian32(b, 16), little_endian32(b, 12)};
    }
    if (b.size() >= 4 && byte_at(b, 0) == 0xFF && byte_at(b, 1) == 0xD8) return jpeg_size(b);
    return std::nullopt;
}

}  // namespace rkserve
