// The threaded PNG encoder: the rows filtered exactly as libpng's defaults do,
// one valid zlib stream however many bands, and the same bytes on any thread count.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <tuple>
#include <utility>

#include "common/thread_pool.h"
#include "png_test_io.h"
#include "save/png_encoder.h"

using namespace png_test;

namespace {

// The IDAT data inflated: the filtered rows, filter bytes included.
Bytes inflated(const Bytes& file) {
    Bytes stream, out(1 << 16);
    for (const Chunk& c : chunks(file))
        if (c.type == "IDAT")
            stream.insert(stream.end(), file.begin() + c.offset + 8,
                          file.begin() + c.offset + 8 + c.length);
    Bytes rows;
    z_stream z{};
    inflateInit(&z);
    z.next_in = stream.data();
    z.avail_in = static_cast<uInt>(stream.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        status = inflate(&z, Z_NO_FLUSH);
        rows.insert(rows.end(), out.data(), out.data() + out.size() - z.avail_out);
    }
    inflateEnd(&z);
    EXPECT_EQ(status, Z_STREAM_END);
    return rows;
}

// Our file of f's rows: libpng's signature and IHDR, then our data.
Bytes ours(const Fixture& f, uint32_t threads) {
    rk::set_thread_count_to(threads);
    const Bytes libpng = encode(f);
    const auto path = std::filesystem::temp_directory_path() /
                      ("rk_png_encoder_" + std::to_string(::getpid()) + ".png");
    {
        rk::OutputFile out(path.string());
        out.write(libpng.data(), 8 + 25);  // signature and IHDR
        const rk::PngLayout layout{f.width, f.height, static_cast<uint8_t>(f.bit_depth),
                                   f.color_type == PNG_COLOR_TYPE_RGB ? rk::PNG_RGB : rk::PNG_GREY};
        const size_t n = row_bytes(f);
        const auto rows = [&](uint32_t y, uint8_t* row) noexcept {
            std::copy_n(f.rows.data() + y * n, n, row);
        };
        EXPECT_EQ(rk::write_png_data(out, layout, rows), rk::PngDataResult::written);
        out.commit();
    }
    rk::set_thread_count_to(0);
    Bytes file = read_file(path.string());
    std::filesystem::remove(path);
    return file;
}

using Size = std::pair<uint32_t, uint32_t>;
using Case = std::tuple<int, int, Size>;  // depth, colour type, width and height
class PngEncoder : public ::testing::TestWithParam<Case> {};

TEST_P(PngEncoder, FiltersAsLibpngAndDecodesTheSame) {
    auto [depth, colour, size] = GetParam();
    const auto [w, h] = size;
    Fixture f;
    f.width = w, f.height = h, f.bit_depth = depth, f.color_type = colour;
    // Past two deflate bands when h is 0.
    if (h == 0) f.height = 2 * rk::png_band_rows(row_bytes(f)) + 3;
    f.rows.resize(row_bytes(f) * f.height);
    // Smooth ramps, flat runs and noise, so that every filter wins somewhere.
    uint32_t seed = 12345;
    for (size_t i = 0; i < f.rows.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        const size_t y = i / row_bytes(f), x = i % row_bytes(f);
        f.rows[i] = static_cast<uint8_t>(y % 7 == 0   ? (seed >> 16)
                                         : y % 3 == 0 ? x / 3 + y
                                                      : (x * y) / 5 + (seed >> 29));
    }
    const Bytes reference = encode(f);
    const Bytes one = ours(f, 1), many = ours(f, 3);
    EXPECT_EQ(one, many);
    EXPECT_EQ(inflated(one), inflated(reference));
    const auto a = decode(one), b = decode(reference);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->pixels, b->pixels);
    EXPECT_LE(one.size(), reference.size() * 101 / 100);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PngEncoder,
                         ::testing::Combine(::testing::Values(8, 16),
                                            ::testing::Values(PNG_COLOR_TYPE_GRAY,
                                                              PNG_COLOR_TYPE_RGB),
                                            ::testing::Values(Size{1, 1}, Size{1, 9}, Size{9, 1},
                                                              Size{5, 3}, Size{301, 0})));

}  // namespace
