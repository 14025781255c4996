// Walking libdeflate's streams: the last block found where zlib's inflate finds
// it, and streams made not final joining into one that inflates to every input.
#include "save/deflate_blocks.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Zeros, noise, a repeating ramp and text-like runs, so that stored, fixed and
// dynamic blocks, long and short codes all occur.
Bytes sample(size_t n, int kind) {
    Bytes b(n);
    uint32_t seed = 2024u + static_cast<uint32_t>(kind);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint8_t noise = static_cast<uint8_t>(seed >> 24);
        b[i] = kind == 0   ? 0
               : kind == 1 ? noise
               : kind == 2 ? uint8_t(i % 251 + i / 4096)
                           : uint8_t("relief "[i % 7] + (noise >> 7));
    }
    return b;
}

Bytes compress(const Bytes& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_deflate_compress_bound(c, data.size()) + 5);
    out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), out.data(), out.size()));
    libdeflate_free_compressor(c);
    return out;
}

// zlib's view: the bit where the last block starts, and the end of the byte
// where the stream ends (zlib drops the last byte's unused bits at the end);
// inflates everything into out.
rk::LastBlock zlib_last_block(const Bytes& stream, Bytes& out) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    rk::LastBlock found{0, 0};
    int status = Z_OK;
    while (status == Z_OK) {
        uint8_t chunk[1 << 16];
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        const size_t bit = z.total_in * 8 - (z.data_type & 7);
        if ((z.data_type & 128) && !(z.data_type & 64)) found.final_bit = bit;
        status = inflate(&z, Z_BLOCK);
        out.insert(out.end(), chunk, z.next_out);
    }
    EXPECT_EQ(status, Z_STREAM_END);
    found.end_bit = z.total_in * 8 - (z.data_type & 7);
    inflateEnd(&z);
    return found;
}

TEST(DeflateBlocks, LastBlockAsZlibSeesItAndBandsJoin) {
    for (int level : {0, 1, 6, 12}) {
        Bytes joined, expected;
        for (size_t n : {0, 1, 2, 3, 977, 1500, 2911, 4099, 70000, 300001}) {
            for (int kind = 0; kind < 4; ++kind) {
                const Bytes data = sample(n, kind), stream = compress(data, level);
                Bytes inflated;
                const rk::LastBlock z = zlib_last_block(stream, inflated);
                const auto ours = rk::find_last_block(stream.data(), stream.size());
                ASSERT_TRUE(ours) << level << " " << n << " " << kind;
                EXPECT_EQ(ours->final_bit, z.final_bit);
                EXPECT_EQ((ours->end_bit + 7) / 8 * 8, z.end_bit);
                EXPECT_EQ(inflated, data);
                // Padding bits that happen to be set must not leak into the join.
                Bytes band = stream;
                const uint32_t used =
                    static_cast<uint32_t>(ours->end_bit - (stream.size() - 1) * 8);
                band.back() |= static_cast<uint8_t>(0xFF00u >> (8 - used));
                band.resize(stream.size() + 5);
                const auto size = rk::make_not_final(band.data(), stream.size());
                ASSERT_TRUE(size);
                band.resize(*size);
                joined.insert(joined.end(), band.begin(), band.end());
                expected.insert(expected.end(), data.begin(), data.end());
            }
            // The same data as stored blocks, the fallback's form.
            const Bytes data = sample(n, 3);
            Bytes stored(rk::stored_bound(n));
            stored.resize(rk::store_not_final(data.data(), n, stored.data()));
            joined.insert(joined.end(), stored.begin(), stored.end());
            expected.insert(expected.end(), data.begin(), data.end());
        }
        const Bytes tail = sample(5000, 2), last = compress(tail, level);
        joined.insert(joined.end(), last.begin(), last.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        Bytes inflated;
        zlib_last_block(joined, inflated);
        EXPECT_EQ(inflated, expected) << level;
    }
}

// Cut or damaged streams are refused, never overrun.
TEST(DeflateBlocks, RefusesIncompleteStreams) {
    const Bytes stream = compress(sample(20000, 3), 6);
    for (size_t cut : {size_t{0}, size_t{1}, stream.size() / 2, stream.size() - 1})
        EXPECT_FALSE(rk::find_last_block(stream.data(), cut)) << cut;
    Bytes longer = stream;
    longer.push_back(0);
    EXPECT_FALSE(rk::find_last_block(longer.data(), longer.size()));
    const Bytes reserved = {0x07};  // final block of the reserved type 3
    EXPECT_FALSE(rk::find_last_block(reserved.data(), reserved.size()));
}

}  // namespace
