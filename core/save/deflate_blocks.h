// Joining whole deflate streams into one: libdeflate compresses a buffer into a
// complete stream whose last block is marked final, with no way to ask for a
// flush instead. Walking the stream's blocks finds that mark and where the last
// block ends, so that the stream can go on: the mark is cleared and an empty
// stored block (what zlib's sync flush writes) brings the end to a byte
// boundary, where the next band's blocks may start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace rk {

// Bit positions (from the first byte's least significant bit) in a raw deflate
// stream: the final-block bit of its last block, and the bit just past that
// block's end.
struct LastBlock {
    size_t final_bit;
    size_t end_bit;
};

// Finds the stream's last block by decoding every block's header and symbols
// (without producing any output). Nothing when the bytes are not one complete
// deflate stream ending within its last byte.
std::optional<LastBlock> find_last_block(const uint8_t* stream, size_t size) noexcept;

// Turns a complete stream of size bytes into one that is not final and ends
// with an empty stored block on a byte boundary; stream must have room for 5
// more bytes. The new size, or nothing when the stream is not one complete
// deflate stream (it is then left as it was).
std::optional<size_t> make_not_final(uint8_t* stream, size_t size) noexcept;

// The bytes data as stored blocks, none final, from a byte boundary to one:
// what a band falls back on should its compressed stream not walk. Needs
// stored_bound(size) bytes at out; answers how many it wrote.
size_t stored_bound(size_t size) noexcept;
size_t store_not_final(const uint8_t* data, size_t size, uint8_t* out) noexcept;

}  // namespace rk
