// load_image as a host sees it: the order in which readers are tried and where
// it stops, observed through the diagnostics sink.
#include <gtest/gtest.h>

#include "image_helpers.h"
#include "load_test_support.h"

namespace {

const std::string kJxr = RK_TEST_DATA "/jxr/";

struct FrontRun {
    Img image;
    Texts texts;
};

FrontRun run_front(const char16_t* path) {
    SinkRecorder sink;
    FrontRun run;
    run.image.reset(load_image(path));
    run.texts = sink.texts();
    return run;
}

FrontRun run_front(const std::string& path) {
    return run_front(widen(path).c_str());
}

const Texts kNotAJpegFromJxr = {"jpeglib error:\n", "Not a JPEG file: starts with 0x49 0x49"};

// A file that no reader takes ends with the DDS and then the TGA diagnostic, each
// prefix and reason as separate texts.
void expect_dds_then_tga_diagnostics(const Texts& texts, size_t from) {
    ASSERT_EQ(texts.size(), from + 4) << ::testing::PrintToString(texts);
    EXPECT_EQ(texts[from], "DDS image loader: ");
    EXPECT_EQ(texts[from + 2], "TGA image loader: ");
    for (size_t reason : {from + 1, from + 3}) {
        EXPECT_EQ(texts[reason].find("image loader"), std::string::npos) << texts[reason];
        EXPECT_TRUE(texts[reason].empty() || texts[reason].back() != '\n') << texts[reason];
    }
}

TEST(LoadImage, EmptyOrNullPathGivesNullWithoutDiagnostics) {
    for (const char16_t* path : {u"", static_cast<const char16_t*>(nullptr)}) {
        const FrontRun run = run_front(path);
        EXPECT_FALSE(run.image);
        EXPECT_TRUE(run.texts.empty()) << ::testing::PrintToString(run.texts);
    }
}

TEST(LoadImage, MissingFileStopsWithoutDiagnostics) {
    const FrontRun run = run_front(load_temp_dir() + "/missing.tga");
    EXPECT_FALSE(run.image);
    EXPECT_TRUE(run.texts.empty()) << ::testing::PrintToString(run.texts);
}

TEST(LoadImage, FileOfNoFormatPassesEveryReader) {
    const FrontRun run = run_front(write_temp("three.bin", Bytes{'a', 'b', 'c'}));
    EXPECT_FALSE(run.image);
    ASSERT_GE(run.texts.size(), 2u);
    EXPECT_EQ(run.texts[0], "jpeglib error:\n");
    EXPECT_EQ(run.texts[1], "Not a JPEG file: starts with 0x61 0x62");
    expect_dds_then_tga_diagnostics(run.texts, 2);
}

TEST(LoadImage, JpegLoadsWithoutDiagnostics) {
    const FrontRun run = run_front(std::string(RK_TEST_DATA "/jpeg/restart_every_row_64x48.jpg"));
    ASSERT_TRUE(run.image);
    EXPECT_TRUE(run.texts.empty()) << ::testing::PrintToString(run.texts);
    EXPECT_EQ(imgbuf_w(run.image.get()), 64u);
}

// A JPEG that libjpeg cannot decode is still a JPEG: no later reader is tried.
TEST(LoadImage, UndecodableJpegStopsTheDispatch) {
    const FrontRun run = run_front(std::string(RK_TEST_DATA "/jpeg/cmyk_20x10.jpg"));
    EXPECT_FALSE(run.image);
    ASSERT_EQ(run.texts.size(), 2u) << ::testing::PrintToString(run.texts);
    EXPECT_EQ(run.texts[0], "jpeglib error:\n");
}

TEST(LoadImage, JpegXrReachesItsReader) {
    const FrontRun run = run_front(kJxr + "bgr24_20x18.jxr");
    ASSERT_TRUE(run.image);
    EXPECT_EQ(imgbuf_w(run.image.get()), 20u);
    EXPECT_EQ(imgbuf_h(run.image.get()), 18u);
    EXPECT_EQ(get_px(run.image.get(), 0, 0), (Px{1.0f, 0.5019608f, 0.0627451f, 1.0f}));
    EXPECT_EQ(run.texts, kNotAJpegFromJxr);
}

TEST(LoadImage, DamagedJpegXrGoesOnToDdsAndTga) {
    const FrontRun run = run_front(kJxr + "bgr24_20x18_damaged.jxr");
    EXPECT_FALSE(run.image);
    ASSERT_GE(run.texts.size(), 2u);
    EXPECT_EQ(Texts(run.texts.begin(), run.texts.begin() + 2), kNotAJpegFromJxr);
    ASSERT_GE(run.texts.size(), 4u);
    EXPECT_EQ(Texts(run.texts.begin() + 2, run.texts.begin() + 4),
              (Texts{"JPEG XR image loader: ", "the tile data is damaged."}));
    expect_dds_then_tga_diagnostics(run.texts, 4);
}

}  // namespace
