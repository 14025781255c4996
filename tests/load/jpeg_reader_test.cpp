// The JPEG reader against libjpeg's own decode of the same files: every sample
// must come out as exactly sample / 255, and every failure must say what
// libjpeg says and set the not-my-format flag only for files that are no JPEG.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "jpeg_fixtures.h"
#include "load/readers.h"
#include "load_test_support.h"

namespace {

struct ReaderRun {
    rk::ImgbufPtr image;
    bool not_my_format = false;
    Texts texts;     // everything but libjpeg's warnings
    Texts warnings;  // the texts that followed "jpeglib warning: "
};

ReaderRun run_reader(const std::string& path) {
    SinkRecorder sink;
    ReaderRun run;
    run.image = rk::load_jpeg(widen(path), run.not_my_format);
    const Texts all = sink.texts();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == "jpeglib warning: " && i + 1 < all.size()) {
            run.warnings.push_back(all[++i]);
        } else {
            run.texts.push_back(all[i]);
        }
    }
    return run;
}

void expect_same_as_reference(const imgbuf* image, const JpegDecode& ref) {
    ASSERT_TRUE(ref.ok) << ref.error;
    ASSERT_TRUE(ref.components == 1 || ref.components == 3);
    ASSERT_EQ(imgbuf_w(image), ref.width);
    ASSERT_EQ(imgbuf_h(image), ref.height);
    size_t mismatches = 0;
    for (uint32_t y = 0; y < ref.height; ++y) {
        const float* px = imgbuf_row(image, y);
        const uint8_t* s = &ref.samples[size_t{y} * ref.width * ref.components];
        for (uint32_t x = 0; x < ref.width; ++x, px += 4, s += ref.components) {
            const int c1 = ref.components == 3 ? 1 : 0;
            const int c2 = ref.components == 3 ? 2 : 0;
            const float want[4] = {s[0] / 255.0f, s[c1] / 255.0f, s[c2] / 255.0f, 1.0f};
            for (int c = 0; c < 4; ++c) {
                if (px[c] != want[c] && mismatches++ == 0) {
                    ADD_FAILURE() << "first mismatch at (" << x << ", " << y << ") channel " << c
                                  << ": " << px[c] << " instead of " << want[c];
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

struct DecodeCase {
    const char* name;
    JpegRecipe recipe;
    size_t keep_bytes;  // cut the file to this many bytes; 0 keeps it whole
};

class JpegDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(JpegDecodes, MatchLibjpegExactly) {
    const DecodeCase& c = GetParam();
    Bytes file = make_jpeg(c.recipe);
    if (c.keep_bytes) {
        ASSERT_LT(c.keep_bytes, file.size());
        file.resize(c.keep_bytes);
    }
    const ReaderRun run = run_reader(write_temp(std::string(c.name) + ".jpg", file));
    ASSERT_TRUE(run.image) << ::testing::PrintToString(run.texts);
    EXPECT_FALSE(run.not_my_format);
    EXPECT_TRUE(run.texts.empty()) << ::testing::PrintToString(run.texts);
    // A cut file is finished with a warning, which reaches the sink, not stderr.
    if (c.keep_bytes) {
        EXPECT_EQ(run.warnings, Texts{"Premature end of JPEG file"});
    } else {
        EXPECT_TRUE(run.warnings.empty()) << ::testing::PrintToString(run.warnings);
    }
    expect_same_as_reference(run.image.get(), reference_decode(file));
}

// The large files span several 4096-byte input blocks and several row batches;
// the cut ones end inside the entropy-coded data, where the reader must finish
// as libjpeg's own sources do instead of decoding stale input.
INSTANTIATE_TEST_SUITE_P(
    Layouts, JpegDecodes,
    ::testing::Values(DecodeCase{"grey_13x7", {JpegKind::grey, 13, 7}, 0},
                      DecodeCase{"rgb_17x9", {JpegKind::rgb, 17, 9}, 0},
                      DecodeCase{"rgb_progressive", {JpegKind::rgb, 40, 33, true}, 0},
                      DecodeCase{"rgb_restart_every_row", {JpegKind::rgb, 64, 48, false, 1}, 0},
                      DecodeCase{"app1_20000_first", {JpegKind::rgb, 24, 24, false, 0, 20000}, 0},
                      DecodeCase{"rgb_300x200", {JpegKind::rgb, 300, 200}, 0},
                      DecodeCase{"grey_300x200", {JpegKind::grey, 300, 200}, 0},
                      DecodeCase{"rgb_cut_in_scan", {JpegKind::rgb, 300, 200}, 9000},
                      DecodeCase{"grey_cut_at_block_end", {JpegKind::grey, 300, 200}, 8192},
                      DecodeCase{"progressive_cut", {JpegKind::rgb, 120, 90, true}, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    std::function<Bytes()> make;
    bool not_my_format;
    // The texts after "jpeglib error:\n"-less reader messages; empty: use libjpeg's
    // own message for the file, with the "jpeglib error:\n" prefix.
    Texts texts;
};

Bytes with_byte(Bytes file, size_t at, uint8_t value) {
    file.at(at) = value;
    return file;
}

// SOF0 payload: length (2), precision (1), height (2), width (2).
Bytes with_size(Bytes file, uint16_t w, uint16_t h) {
    const size_t sof = find_marker(file, 0xC0);
    file.at(sof + 3) = static_cast<uint8_t>(h >> 8);
    file.at(sof + 4) = static_cast<uint8_t>(h);
    file.at(sof + 5) = static_cast<uint8_t>(w >> 8);
    file.at(sof + 6) = static_cast<uint8_t>(w);
    return file;
}

class JpegFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(JpegFailures, EndWithNullAndTheRightDiagnostics) {
    const FailureCase& c = GetParam();
    const Bytes file = c.make();
    const ReaderRun run = run_reader(write_temp(std::string(c.name) + ".bin", file));
    EXPECT_FALSE(run.image);
    EXPECT_EQ(run.not_my_format, c.not_my_format);
    Texts want = c.texts;
    if (want.empty()) {
        const JpegDecode ref = reference_decode(file);
        ASSERT_FALSE(ref.ok);
        want = {"jpeglib error:\n", ref.error};
    }
    EXPECT_EQ(run.texts, want);
}

INSTANTIATE_TEST_SUITE_P(
    Files, JpegFailures,
    ::testing::Values(
        FailureCase{"three_bytes",
                    [] {
                        return Bytes{'a', 'b', 'c'};
                    },
                    true,
                    {"jpeglib error:\n", "Not a JPEG file: starts with 0x61 0x62"}},
        // An empty file meets the end marker the source supplies.
        FailureCase{"empty",
                    [] { return Bytes{}; },
                    true,
                    {"jpeglib error:\n", "Not a JPEG file: starts with 0xff 0xd9"}},
        FailureCase{"jxr_header",
                    [] { return Bytes{'I', 'I', 0xBC, 0x01, 0, 0, 0, 0}; },
                    true,
                    {"jpeglib error:\n", "Not a JPEG file: starts with 0x49 0x49"}},
        FailureCase{
            "start_marker_damaged", [] { return with_byte(make_jpeg({}), 1, 0xD7); }, true, {}},
        FailureCase{"start_marker_then_nothing",
                    [] {
                        return Bytes{0xFF, 0xD8};
                    },
                    false,
                    {}},
        FailureCase{"bad_precision",
                    [] {
                        Bytes f = make_jpeg({});
                        return with_byte(f, find_marker(f, 0xC0) + 2, 9);
                    },
                    false,
                    {}},
        FailureCase{"cut_inside_app1",
                    [] {
                        Bytes f = make_jpeg({JpegKind::rgb, 24, 24, false, 0, 20000});
                        f.resize(10000);
                        return f;
                    },
                    false,
                    {}},
        FailureCase{"cmyk",
                    [] {
                        return make_jpeg({JpegKind::cmyk, 20, 10});
                    },
                    false,
                    {"jpeglib error:\n", "Application transferred too few scanlines"}},
        FailureCase{"ycck",
                    [] {
                        return make_jpeg({JpegKind::ycck, 20, 10});
                    },
                    false,
                    {"jpeglib error:\n", "Application transferred too few scanlines"}},
        // 16384 x 16384 pixels of 16 bytes are exactly 2^32 bytes.
        FailureCase{"too_large",
                    [] { return with_size(make_jpeg({}), 16384, 16384); },
                    false,
                    {"JPEG image loader: ", "Image data too large."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JpegReader, MissingFileIsNeitherReadNorReported) {
    const ReaderRun run = run_reader(load_temp_dir() + "/no_such_file.jpg");
    EXPECT_FALSE(run.image);
    EXPECT_FALSE(run.not_my_format);
    EXPECT_TRUE(run.texts.empty());
}

TEST(JpegReader, ConcurrentFailuresKeepTheirOwnMessages) {
    // Each thread fails on its own file; every message must be one of the two,
    // whole, never the other thread's text in the middle of formatting.
    const std::string a = write_temp("thread_a.bin", Bytes{'a', 'b', 'c'});
    const std::string b = write_temp("thread_b.bin", Bytes{'x', 'y', 'z'});
    SinkRecorder sink;
    auto hammer = [](const std::string& path) {
        for (int i = 0; i < 200; ++i) {
            bool not_my_format = false;
            rk::load_jpeg(widen(path), not_my_format);
        }
    };
    std::thread ta(hammer, a), tb(hammer, b);
    ta.join();
    tb.join();
    const Texts texts = sink.texts();
    ASSERT_EQ(texts.size(), 800u);
    for (const std::string& t : texts) {
        EXPECT_TRUE(t == "jpeglib error:\n" || t == "Not a JPEG file: starts with 0x61 0x62" ||
                    t == "Not a JPEG file: starts with 0x78 0x79")
            << t;
    }
}

}  // namespace
