// Stored rows read in batches and converted on the library's threads. Reading
// (and any decoding a codec must do row after row) stays on the calling thread;
// each batch is then cut into bands of rows that the threads convert at once.
// A row's conversion never depends on its band, so every thread count gives the
// same bits.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/byte_source.h"
#include "common/thread_pool.h"

namespace rk {

// Bytes of stored rows read before a batch is converted: enough rows to share
// among threads, few enough to stay in the processor's cache until converted.
inline constexpr uint32_t kRowBatchBytes = uint32_t{1} << 20;
// The fewest pixel rows worth a thread of their own.
inline constexpr uint32_t kMinThreadRows = 16;

// Rows of row_bytes each in one batch, from 1 to rows: kRowBatchBytes of them,
// but never too few for every thread to get a band (a batch of very wide rows
// is larger), and never 2^32 bytes or more.
inline uint32_t rows_per_batch(uint32_t row_bytes, uint32_t rows) noexcept {
    const uint32_t bytes = row_bytes ? row_bytes : 1;
    const uint64_t n = std::min<uint64_t>(
        {std::max<uint64_t>(kRowBatchBytes / bytes, uint64_t{kMinThreadRows} * thread_count()),
         rows, UINT32_MAX / bytes});
    return n ? static_cast<uint32_t>(n) : 1;
}

// convert(index, stored) for rows [first, first + count) of a batch whose row k
// starts at batch + k * row_bytes, in bands of at least min_rows rows.
template <class F>
void convert_batch(const uint8_t* batch, uint32_t row_bytes, uint32_t first, uint32_t count,
                   uint32_t min_rows, const F& convert) noexcept {
    parallel_rows(count, min_rows, [&](uint32_t k0, uint32_t k1) noexcept {
        for (uint32_t k = k0; k < k1; ++k) convert(first + k, batch + size_t{k} * row_bytes);
    });
}

// Reads the image's stored rows (rows of them, row_bytes each) from input into
// batch, which has room for batch_rows, and converts each batch as
// convert_batch does. False when a read fails.
template <class F>
bool read_rows_converted(ByteCursor& input, uint8_t* batch, uint32_t batch_rows, uint32_t row_bytes,
                         uint32_t rows, uint32_t min_rows, const F& convert) noexcept {
    for (uint32_t first = 0; first < rows; first += batch_rows) {
        const uint32_t count = rows - first < batch_rows ? rows - first : batch_rows;
        if (!input.read_exact(batch, count * row_bytes)) return false;
        convert_batch(batch, row_bytes, first, count, min_rows, convert);
    }
    return true;
}

}  // namespace rk
