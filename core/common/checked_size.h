// Every allocation sized from untrusted numbers (file headers, host arguments)
// goes through these: the product is computed in 64 bits, then range-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "reliefkit.h"

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

// The largest image a loader allocates: the largest whose float pixels stay
// below 2^32 bytes, so a header within it never yields an image the record's
// sizes cannot hold.
static_assert(uint64_t{RK_MAX_IMAGE_PIXELS} * 16 < kMaxBlockBytes &&
              (uint64_t{RK_MAX_IMAGE_PIXELS} + 1) * 16 >= kMaxBlockBytes);

// Whether a loader may allocate a w x h image: every loader asks this of the
// size its file states, before it allocates anything sized by it.
constexpr bool within_pixel_limit(uint64_t w, uint64_t h) {
    return checked_product(w, h, 1, uint64_t{RK_MAX_IMAGE_PIXELS} + 1).has_value();
}

}  // namespace rk
