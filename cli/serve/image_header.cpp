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

uint32_t little_endian16(std::string_view b, size_t at) {
    return byte_at(b, at) | byte_at(b, at + 1) << 8;
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

// The width and height entries of a JPEG XR file's first directory, each a
// 12-byte entry (tag, type, count, value) holding a SHORT or a LONG.
std::optional<DeclaredSize> jpeg_xr_size(std::string_view b) {
    constexpr uint32_t kImageWidth = 0xBC80, kImageHeight = 0xBC81, kShort = 3, kLong = 4;
    const uint64_t directory = little_endian32(b, 4);
    if (directory + 2 > b.size()) return std::nullopt;
    const uint64_t entries = little_endian16(b, directory);
    uint32_t width = 0, height = 0;
    for (uint64_t at = directory + 2; at < directory + 2 + 12 * entries && at + 12 <= b.size();
         at += 12) {
        const uint32_t tag = little_endian16(b, at), type = little_endian16(b, at + 2);
        const uint32_t value = type == kShort  ? little_endian16(b, at + 8)
                               : type == kLong ? little_endian32(b, at + 8)
                                               : 0;
        if (tag == kImageWidth) width = value;
        if (tag == kImageHeight) height = value;
    }
    if (width == 0 || height == 0) return std::nullopt;
    return DeclaredSize{width, height};
}

// TGA has no signature: only a header of the kind the reader decodes (true
// colour, no colour map, a depth it reads) is taken for one.
std::optional<DeclaredSize> tga_size(std::string_view b) {
    const uint32_t depth = byte_at(b, 16);
    if (byte_at(b, 1) != 0 || byte_at(b, 2) != 2 ||
        (depth != 15 && depth != 16 && depth != 24 && depth != 32)) {
        return std::nullopt;
    }
    return DeclaredSize{little_endian16(b, 12), little_endian16(b, 14)};
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
    // JPEG XR's version byte is 1, but the reader takes 0 as well.
    if (b.size() >= 8 && b.starts_with("II\xBC") && byte_at(b, 3) <= 1) return jpeg_xr_size(b);
    if (b.size() >= 18) return tga_size(b);
    return std::nullopt;
}

}  // namespace rkserve
