// The threaded PNG encoder: the rows filtered exactly as libpng's defaults do,
// one valid zlib stream however many bands, and the same bytes on any thread count.
#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "common/thread_pool.h"
#include "imgbuf/pixel_convert.h"
#include "png_test_io.h"
#include "save/png_encoder.h"
#include "save/png_rows.h"
#include "temp_dir.h"

using namespace png_test;

namespace {

// The IDAT data inflated: f's filtered rows, filter bytes included; zlib fails
// on a broken stream or one that holds more.
Bytes inflated(const Bytes& file, const Fixture& f) {
    Bytes stream, rows((row_bytes(f) + 1) * f.height);
    for (const Chunk& c : chunks(file))
        if (c.type == "IDAT")
            stream.insert(stream.end(), file.begin() + c.offset + 8,
                          file.begin() + c.offset + 8 + c.length);
    uLongf size = rows.size();
    EXPECT_EQ(uncompress(rows.data(), &size, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(size, rows.size());
    return rows;
}

// Our file of f's rows: libpng's signature and IHDR, then our data.
Bytes ours(const Fixture& f, uint32_t threads) {
    rk::set_thread_count_to(threads);
    const Bytes libpng = encode(f);
    TempDir dir;
    {
        rk::OutputFile out((dir / "ours.png").string());
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
    return read_bytes(dir / "ours.png");
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
    // Fewer threads than the pool has workers from before.
    ours(f, 8);
    EXPECT_EQ(ours(f, 2), one);
    EXPECT_EQ(inflated(one, f), inflated(reference, f));
    const auto a = decode(one), b = decode(reference);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->pixels, b->pixels);
    // libdeflate's stream of a tiny image is a few bytes longer than zlib's.
    EXPECT_LE(one.size(), reference.size() * 101 / 100 + 4);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PngEncoder,
                         ::testing::Combine(::testing::Values(8, 16),
                                            ::testing::Values(PNG_COLOR_TYPE_GRAY,
                                                              PNG_COLOR_TYPE_RGB),
                                            ::testing::Values(Size{1, 1}, Size{1, 9}, Size{9, 1},
                                                              Size{5, 3}, Size{301, 0})));

// A thread count whose double does not fit in 32 bits: the batch of bands
// once wrapped to 0 and the save never ended (the alarm ends the child then).
TEST(PngEncoderDeathTest, HugeThreadCountsFinish) {
    Fixture f;
    f.width = 3, f.height = 2, f.rows.assign(18, 7);
    EXPECT_EXIT(
        {
            alarm(20);
            std::_Exit(decode(ours(f, 1u << 31)) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace

// 8-bit file rows (converted four pixels at a time where the processor allows)
// hold float_to_byte of the chosen channels, NaN, infinities and values out of
// range included.
TEST(PngRows, EightBitSamplesAreFloatToByteOfTheChosenChannels) {
    const float special[] = {NAN,   -NAN,   INFINITY,   -INFINITY,  -0.0f,
                             -0.1f, 1.5f,   0.5f / 255, 1.5f / 255, 254.5f / 255,
                             1.0f,  0.999f, 0.3f,       1e-30f};
    rk::ImgbufPtr img = rk::make_image(9, 1);  // two groups of four and one pixel more
    for (int i = 0; i < 36; ++i) img->pixels[i] = special[(i * 5) % 14];
    for (const rk::ChannelMap map :
         {rk::kImageRgb, rk::ChannelMap{2, 0, 1}, rk::ChannelMap{1, 1, 0, 0}}) {
        for (uint8_t samples : {1, 3, 4}) {
            const rk::PngRowSource source(img.get(), {8, samples, map});
            Bytes row(9 * samples);
            source(0, row.data());
            const uint8_t chosen[4] = {map.red, map.green, map.blue, map.alpha};
            for (uint32_t x = 0; x < 9; ++x)
                for (int s = 0; s < samples; ++s)
                    EXPECT_EQ(row[x * samples + s],
                              rk::float_to_byte(img->pixels[4 * x + chosen[s]]))
                        << x << " " << s;
        }
    }
}
