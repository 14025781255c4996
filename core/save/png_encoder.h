// The image data of a PNG (its IDAT chunks and IEND), made on all threads.
//
// Rows are filtered the way libpng chooses by default (for each row the filter
// of the five with the least sum of absolute byte values, ties to the earlier),
// and deflated by libdeflate at the layout's level (0 stored to 9 smallest,
// libdeflate's levels of the same numbers; 6 unless asked) in bands of a fixed
// number of rows: each band is an independent run of deflate blocks ended by an
// empty stored block (as a sync flush ends it), the last by the final block,
// all joined into one zlib stream with the Adler-32 combined. libdeflate takes
// about a third of zlib's time at the same level, for files a few per cent
// larger (bench/README.md). The band height depends on the row size alone, so
// the bytes are the same for every thread count and machine (with the same
// libdeflate).
#pragma once

#include <cstdint>
#include <type_traits>

#include "save/byte_sink.h"
#include "save/output_file.h"

namespace rk {

// What IHDR says of the pixels: 8 or 16 bits per sample, grey, RGB or RGBA;
// and the zlib level (0 to 9) the data is deflated at.
enum PngColour : uint8_t { PNG_GREY = 0, PNG_RGB = 2, PNG_RGBA = 6 };
struct PngLayout {
    uint32_t width;
    uint32_t height;
    uint8_t bit_depth;
    PngColour colour;
    uint8_t level = 6;

    uint32_t bytes_per_pixel() const noexcept {
        const uint32_t samples = colour == PNG_RGBA ? 4u : colour == PNG_RGB ? 3u : 1u;
        return samples * (bit_depth / 8u);
    }
};

// Writes row y of the file (width * bytes_per_pixel bytes, 16-bit samples big
// endian) to row. Called from several threads at once, each with its own row.
using PngRowProducer = void (*)(void* context, uint32_t y, uint8_t* row) noexcept;

enum class PngDataResult { written, write_failed, out_of_memory };

// Appends the IDAT chunks and the IEND chunk to out, which already holds the
// signature and IHDR of layout (width and height at least 1).
PngDataResult write_png_data(ByteSink& out, const PngLayout& layout, PngRowProducer rows,
                             void* context) noexcept;

template <class F>
PngDataResult write_png_data(ByteSink& out, const PngLayout& layout, F&& rows) noexcept {
    static_assert(std::is_nothrow_invocable_v<F&, uint32_t, uint8_t*>, "rows must not throw");
    using Rows = std::remove_reference_t<F>;
    return write_png_data(
        out, layout,
        [](void* c, uint32_t y, uint8_t* row) noexcept { (*static_cast<Rows*>(c))(y, row); },
        const_cast<void*>(static_cast<const void*>(&rows)));
}

template <class F>
PngDataResult write_png_data(OutputFile& out, const PngLayout& layout, F&& rows) noexcept {
    OutputFileSink sink(out);
    return write_png_data(sink, layout, rows);
}

// The rows of one deflate band for rows of row_bytes bytes (filter byte not
// counted): about a mebibyte of filtered data.
uint32_t png_band_rows(uint64_t row_bytes) noexcept;

}  // namespace rk
