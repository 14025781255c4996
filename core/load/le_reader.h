// Little-endian access to binary file data.
//
// LeReader reads the fields of a header held in memory. Every read names its
// offset and is checked against the end of the bytes: a field that would run
// past the end reads as 0 and marks the reader failed, so a parser reads all its
// fields and tests ok() once instead of trusting the offsets it was written with.
//
// The load_le* functions are the unchecked counterparts for pixel decoders, whose
// callers have already sized the source to the row being decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rk {

inline uint16_t load_le16(const uint8_t* p) noexcept {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint64_t load_le48(const uint8_t* p) noexcept {
    return uint64_t{load_le32(p)} | (uint64_t{load_le16(p + 4)} << 32);
}

inline uint64_t load_le64(const uint8_t* p) noexcept {
    return uint64_t{load_le32(p)} | (uint64_t{load_le32(p + 4)} << 32);
}

class LeReader {
  public:
    explicit LeReader(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}

    uint8_t u8(size_t offset) noexcept { return fits(offset, 1) ? bytes_[offset] : 0; }
    uint16_t u16(size_t offset) noexcept {
        return fits(offset, 2) ? load_le16(bytes_.data() + offset) : 0;
    }
    uint32_t u32(size_t offset) noexcept {
        return fits(offset, 4) ? load_le32(bytes_.data() + offset) : 0;
    }
    // The count bytes at offset, or an empty span (and a failed reader) when they
    // are not all there.
    std::span<const uint8_t> bytes(size_t offset, size_t count) noexcept {
        return fits(offset, count) ? bytes_.subspan(offset, count) : std::span<const uint8_t>{};
    }

    // False once any read ran past the end.
    bool ok() const noexcept { return ok_; }

  private:
    bool fits(size_t offset, size_t count) noexcept {
        // Written so that no sum can wrap, whatever offset a caller computed.
        const bool inside = offset <= bytes_.size() && count <= bytes_.size() - offset;
        ok_ = ok_ && inside;
        return inside;
    }

    std::span<const uint8_t> bytes_;
    bool ok_ = true;
};

}  // namespace rk
