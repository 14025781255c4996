// Every reader gives the same bits on 4 threads as on 1, on sizes that make one
// band, uneven bands, and rows wide enough for the batches of stored rows to
// differ between the two thread counts. A reader's layouts share its batches
// and bands, so one stands for all.
#include "load/jxr_reply.h"
#include "load/jxr_reply_format.h"
#include "load_test_support.h"
#include "png_test_io.h"

namespace {

// Little-endian fields of the given byte counts (zeros past their fourth byte),
// then n stored bytes that differ from byte to byte and row to row.
Bytes stored(std::initializer_list<std::pair<uint32_t, int>> fields, size_t n) {
    Bytes b;
    for (auto [v, size] : fields)
        for (int i = 0; i < size; ++i) b.push_back(i < 4 ? static_cast<uint8_t>(v >> (8 * i)) : 0);
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i * 2654435761u >> 13));
    return b;
}

template <class Load>
void expect_same_bits_on_1_and_4_threads(const Load& load) {
    const Img one = on_threads(1, load), four = on_threads(4, load);
    EXPECT_TRUE(one && four && fingerprint(one.get()) == fingerprint(four.get()));
}

TEST(ThreadedLoad, FourThreadsGiveTheBitsOfOne) {
    for (auto [w, h] : {std::pair{1u, 1u}, {3u, 5u}, {257u, 131u}, {4099u, 70u}}) {
        png_test::Fixture png;
        png.width = w, png.height = h, png.bit_depth = 16, png.color_type = PNG_COLOR_TYPE_RGBA;
        png.rows = stored({}, size_t{w} * h * 8);
        // PNG; TGA (bottom-up, 32-bit); DDS (DXT1, more blocks than are read).
        // clang-format off
        const Bytes files[] = {png_test::encode(png),
                               stored({{0, 2}, {2, 10}, {w, 2}, {h, 2}, {0x0820, 2}}, size_t{w} * h * 4),
                               stored({{0x20534444, 4}, {124, 4}, {0x1007, 4}, {h, 4}, {w, 60}, {32, 4},
                                       {4, 4}, {0x31545844, 44}}, size_t{w + 3} * (h + 3) / 2)};
        // clang-format on
        for (const Bytes& file : files) {
            SCOPED_TRACE(testing::Message() << "file " << &file - files << ", " << w << " x " << h);
            const std::u16string path = widen(write_temp("threaded", file));
            expect_same_bits_on_1_and_4_threads([&] { return Img(load_image(path.c_str())); });
        }
#if RK_JXR_BUILT
        Bytes reply = stored({}, rk::kJxrReplyHeaderBytes + size_t{w} * h * 3);
        rk::encode_jxr_reply_header({0, w, h, uint64_t{w} * h * 3}, reply.data());
        const char* why = nullptr;
        expect_same_bits_on_1_and_4_threads(
            [&] { return Img(rk::image_from_jxr_reply(reply, w, h, why).release()); });
#endif
    }
}

}  // namespace
