// load_image as a host sees it: the order in which readers are tried and where
// it stops, observed through the diagnostics sink.
#include <gtest/gtest.h>

#include "load_test_support.h"

namespace {

TEST(LoadImage, ReadersAreTriedInOrderUntilOneDecidesTheFile) {
    const std::string jpeg = RK_TEST_DATA "/jpeg/", jxr = RK_TEST_DATA "/jxr/";
    const Texts not_a_jpeg_from_jxr = {"jpeglib error:\n", "Not a JPEG file: starts with 0x49 0x49"};
    Bytes png = read_bytes(RK_TEST_DATA "/corpus/rgb8.png");
    png.at(29) ^= 1;  // the header's checksum
    struct Case {
        std::string path;
        uint32_t width, height;  // 0: no image
        Texts texts;             // the texts, before the DDS and TGA ones when rest_fail
        bool rest_fail = false;
    };
    // clang-format off
    const Case cases[] = {
        {"", 0, 0, {}},  // a null pointer
        {temp_path("missing.tga"), 0, 0, {}},
        {write_temp("three.bin", Bytes{'a', 'b', 'c'}), 0, 0, {"jpeglib error:\n", "Not a JPEG file: starts with 0x61 0x62"}, true},
        {jpeg + "restart_every_row_64x48.jpg", 64, 48, {}},
        {RK_TEST_DATA "/corpus/rgb8.png", 9, 7, {}},
        // A PNG that fails ends the dispatch.
        {write_temp("crc.png", png), 0, 0, {"pnglib error: ", "IHDR: CRC error"}},
        // A JPEG that cannot be decoded (here its colour space) is still a JPEG: no later reader is tried.
        {jpeg + "cmyk_20x10.jpg", 0, 0, {"JPEG image loader: ", "Colour space CMYK not supported."}},
        {jxr + "bgr24_20x18.jxr", 20, 18, not_a_jpeg_from_jxr},
        {jxr + "bgr24_20x18_damaged.jxr", 0, 0, {"jpeglib error:\n", "Not a JPEG file: starts with 0x49 0x49", "JPEG XR image loader: ", "the tile data is damaged."}, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        if (!RK_JXR_BUILT && c.path.ends_with(".jxr")) continue;  // refused as not built in
        SinkRecorder sink;
        Img image(load_image(c.path.empty() ? nullptr : widen(c.path).c_str()));
        Texts texts = sink.texts();
        ASSERT_EQ(static_cast<bool>(image), c.width > 0) << c.path;
        if (image) {
            EXPECT_EQ(imgbuf_w(image.get()), c.width);
            EXPECT_EQ(imgbuf_h(image.get()), c.height);
        }
        // A file no reader takes ends with the DDS and then the TGA diagnostic,
        // each prefix and reason as separate texts.
        ASSERT_EQ(texts.size(), c.texts.size() + (c.rest_fail ? 4 : 0)) << c.path;
        EXPECT_EQ(Texts(texts.begin(), texts.begin() + c.texts.size()), c.texts) << c.path;
        for (size_t i = c.texts.size(); i < texts.size(); i += 2) {
            EXPECT_EQ(texts[i], i == c.texts.size() ? "DDS image loader: " : "TGA image loader: ");
            EXPECT_EQ(texts[i + 1].find("image loader"), std::string::npos) << texts[i + 1];
            EXPECT_TRUE(texts[i + 1].empty() || texts[i + 1].back() != '\n') << texts[i + 1];
        }
    }
}

}  // namespace
