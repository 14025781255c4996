#include "save/deflate_blocks.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace rk {
namespace {

// Codes up to this length decode with one table look-up; longer ones (rare in
// practice) bit by bit.
constexpr uint32_t kFastBits = 10;
constexpr uint32_t kMaxCodeBits = 15;
constexpr uint32_t kMaxLitLen = 286;
constexpr uint32_t kMaxDist = 30;

// Extra bits of the length symbols 257..285 and of the distance symbols.
constexpr std::array<uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint8_t, 30> kDistanceExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                    4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                    9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Reads a deflate stream's bits, least significant first; past the end it reads
// zeros and says it went too far.
class BitReader {
  public:
    BitReader(const uint8_t* bytes, size_t size) noexcept : bytes_(bytes), size_(size) {}

    // The next k (at most 32) bits, not consumed.
    uint32_t peek(uint32_t k) const noexcept {
        const size_t at = pos_ >> 3;
        uint64_t v = 0;
        if (std::endian::native == std::endian::little && at + 8 <= size_) {
            std::memcpy(&v, bytes_ + at, 8);
        } else {
            for (size_t i = 0; i < 8 && at + i < size_; ++i)
                v |= uint64_t{bytes_[at + i]} << (8 * i);
        }
        return static_cast<uint32_t>((v >> (pos_ & 7)) & ((uint64_t{1} << k) - 1));
    }
    uint32_t take(uint32_t k) noexcept {
        const uint32_t v = peek(k);
        pos_ += k;
        return v;
    }
    void skip(size_t k) noexcept { pos_ += k; }
    void align() noexcept { pos_ = (pos_ + 7) & ~size_t{7}; }
    size_t pos() const noexcept { return pos_; }
    bool overrun() const noexcept { return pos_ > size_ * 8; }

  private:
    const uint8_t* bytes_;
    size_t size_;
    size_t pos_ = 0;
};

// A canonical Huffman code as deflate defines it, from its code lengths.
class Huffman {
  public:
    // False for lengths that give more codes than bits allow. An incomplete code
    // builds; its missing codes fail to decode.
    bool build(const uint8_t* lengths, uint32_t n) noexcept {
        count_.fill(0);
        for (uint32_t s = 0; s < n; ++s) ++count_[lengths[s]];
        count_[0] = 0;
        int32_t left = 1;
        for (uint32_t len = 1; len <= kMaxCodeBits; ++len) {
            left = 2 * left - count_[len];
            if (left < 0) return false;
        }
        std::array<uint16_t, kMaxCodeBits + 2> offset{};
        for (uint32_t len = 1; len <= kMaxCodeBits; ++len)
            offset[len + 1] = offset[len] + count_[len];
        for (uint32_t s = 0; s < n; ++s)
            if (lengths[s]) symbols_[offset[lengths[s]]++] = static_cast<uint16_t>(s);
        fast_.fill(0);
        uint32_t code = 0, k = 0;
        for (uint32_t len = 1; len <= kMaxCodeBits; ++len, code <<= 1) {
            for (uint32_t i = 0; i < count_[len]; ++i, ++code, ++k) {
                if (len > kFastBits) continue;
                // The stream holds a code's bits most significant first.
                uint32_t reversed = 0;
                for (uint32_t b = 0; b < len; ++b) reversed |= ((code >> b) & 1u) << (len - 1 - b);
                for (uint32_t t = reversed; t < (1u << kFastBits); t += 1u << len)
                    fast_[t] = static_cast<uint16_t>(symbols_[k] << 4 | len);
            }
        }
        return true;
    }

    // The next symbol, or -1 for a code the lengths do not assign.
    int32_t decode(BitReader& in) const noexcept {
        const uint16_t e = fast_[in.peek(kFastBits)];
        if (e) {
            in.skip(e & 15u);
            return e >> 4;
        }
        int32_t code = 0, first = 0, index = 0;
        for (uint32_t len = 1; len <= kMaxCodeBits; ++len) {
            code |= static_cast<int32_t>(in.take(1));
            const int32_t count = count_[len];
            if (code - first < count) return symbols_[index + code - first];
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

  private:
    std::array<uint16_t, 1u << kFastBits> fast_;  // symbol << 4 | length; 0: a longer code
    std::array<uint16_t, kMaxCodeBits + 1> count_;
    std::array<uint16_t, kMaxLitLen + kMaxDist + 2> symbols_;
};

// Walks one block's symbols to its end-of-block symbol.
bool skip_symbols(BitReader& in, const Huffman& lit, const Huffman& dist) noexcept {
    while (!in.overrun()) {
        const int32_t s = lit.decode(in);
        if (s < 256) {
            if (s < 0) return false;
            continue;
        }
        if (s == 256) return true;
        if (s - 257 >= static_cast<int32_t>(kLengthExtra.size())) return false;
        in.skip(kLengthExtra[s - 257]);
        const int32_t d = dist.decode(in);
        if (d < 0 || d >= static_cast<int32_t>(kMaxDist)) return false;
        in.skip(kDistanceExtra[d]);
    }
    return false;
}

bool fixed_codes(Huffman& lit, Huffman& dist) noexcept {
    std::array<uint8_t, 288> lengths{};
    for (uint32_t s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    std::array<uint8_t, kMaxDist> distances;
    distances.fill(5);
    return lit.build(lengths.data(), 288) && dist.build(distances.data(), kMaxDist);
}

// A dynamic block's header: the code-length code, then the two codes' lengths.
bool dynamic_codes(BitReader& in, Huffman& lit, Huffman& dist) noexcept {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
    const uint32_t nlit = in.take(5) + 257, ndist = in.take(5) + 1, nlen = in.take(4) + 4;
    if (nlit > kMaxLitLen || ndist > kMaxDist) return false;
    std::array<uint8_t, 19> code_lengths{};
    for (uint32_t i = 0; i < nlen; ++i) code_lengths[kOrder[i]] = static_cast<uint8_t>(in.take(3));
    Huffman lengths_code;
    if (!lengths_code.build(code_lengths.data(), 19)) return false;
    std::array<uint8_t, kMaxLitLen + kMaxDist> lengths{};
    for (uint32_t i = 0; i < nlit + ndist;) {
        const int32_t s = lengths_code.decode(in);
        if (s < 0 || in.overrun()) return false;
        if (s < 16) {
            lengths[i++] = static_cast<uint8_t>(s);
            continue;
        }
        if (s == 16 && i == 0) return false;
        const uint8_t value = s == 16 ? lengths[i - 1] : 0;
        const uint32_t repeat = s == 16   ? 3 + in.take(2)
                                : s == 17 ? 3 + in.take(3)
                                          : 11 + in.take(7);
        if (i + repeat > nlit + ndist) return false;
        for (uint32_t r = 0; r < repeat; ++r) lengths[i++] = value;
    }
    return lengths[256] != 0 && lit.build(lengths.data(), nlit) &&
           dist.build(lengths.data() + nlit, ndist);
}

}  // namespace

std::optional<LastBlock> find_last_block(const uint8_t* stream, size_t size) noexcept {
    BitReader in(stream, size);
    Huffman lit, dist;
    for (;;) {
        const size_t header = in.pos();
        const bool final = in.take(1) != 0;
        const uint32_t type = in.take(2);
        bool ok = false;
        if (type == 0) {
            in.align();
            const uint32_t length = in.take(16), complement = in.take(16);
            ok = length == (~complement & 0xFFFFu);
            in.skip(size_t{length} * 8);
        } else if (type == 1) {
            ok = fixed_codes(lit, dist) && skip_symbols(in, lit, dist);
        } else if (type == 2) {
            ok = dynamic_codes(in, lit, dist) && skip_symbols(in, lit, dist);
        }
        if (!ok || in.overrun()) return std::nullopt;
        if (final) {
            // The stream's last byte holds the block's last bit.
            if ((in.pos() + 7) / 8 != size) return std::nullopt;
            return LastBlock{header, in.pos()};
        }
    }
}

std::optional<size_t> make_not_final(uint8_t* stream, size_t size) noexcept {
    const auto last = find_last_block(stream, size);
    if (!last) return std::nullopt;
    stream[last->final_bit / 8] &= static_cast<uint8_t>(~(1u << (last->final_bit % 8)));
    // The empty stored block: three header bits of 0 (not final, stored) in the
    // last byte's free bits when they fit, padding to the byte's end, then a
    // length of 0 and its complement.
    const uint32_t used = static_cast<uint32_t>(last->end_bit - (size - 1) * 8);  // 1..8
    if (used < 8) stream[size - 1] &= static_cast<uint8_t>((1u << used) - 1);
    if (8 - used < 3) stream[size++] = 0;
    for (uint8_t b : {0x00, 0x00, 0xFF, 0xFF}) stream[size++] = b;
    return size;
}

// A stored block holds at most 65,535 bytes after its five bytes of header.
constexpr size_t kStoredMax = 65535;

size_t stored_bound(size_t size) noexcept {
    return size + 5 * (size / kStoredMax + 1);
}

size_t store_not_final(const uint8_t* data, size_t size, uint8_t* out) noexcept {
    size_t at = 0;
    for (size_t done = 0;;) {
        const size_t n = std::min(kStoredMax, size - done);
        const uint8_t header[5] = {0x00, uint8_t(n), uint8_t(n >> 8), uint8_t(~n),
                                   uint8_t(~n >> 8)};
        std::memcpy(out + at, header, 5);
        if (n) std::memcpy(out + at + 5, data + done, n);
        at += 5 + n, done += n;
        if (done == size) return at;
    }
}

}  // namespace rk
