// Every allocation sized from untrusted numbers (file headers, host arguments)
// goes through these: the product is computed in 64 bits, then range-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rk {

// Images and buffers stay below 2^32 bytes so that every derived size fits the
// record's 32-bit arithmetic.
inline constexpr uint64_t kMaxBlockBytes = uint64_t{1} << 32;

// a * b * c when the product is below limit, otherwise nothing.
constexpr std::optional<uint64_t> checked_product(uint64_t a, uint64_t b, uint64_t c = 1,
                                                  uint64_t limit = kMaxBlockBytes) {
    uint64_t ab = 0;
    uint64_t abc = 0;
    if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) {
        return std::nullopt;
    }
    if (abc >= limit) return std::nullopt;
    return abc;
}

// Byte size of a w x h image of 16-byte pixels, when it stays below 2^32.
constexpr std::optional<uint32_t> image_bytes(uint32_t w, uint32_t h) {
    auto n = checked_product(w, h, 16);
    if (!n) return std::nullopt;
    return static_cast<uint32_t>(*n);
}

}  // namespace rk
