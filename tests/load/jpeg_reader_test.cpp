// The JPEG reader on files made once with libjpeg's compressor: the decoded
// pictures are pinned by their fingerprints (every bit of every sample), and
// every failure says what libjpeg says and sets the not-my-format flag only for
// files that are no JPEG.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

#include "load/readers.h"
#include "load_test_support.h"

namespace {

struct ReaderRun {
    rk::ImgbufPtr image;
    bool not_my_format;
    Texts texts;
};

ReaderRun run_reader(const std::string& path) {
    SinkRecorder sink;
    bool not_my_format = false;
    rk::ImgbufPtr image = rk::load_jpeg(widen(path), not_my_format);
    return {std::move(image), not_my_format, sink.texts()};
}

Bytes jpeg(const std::string& name, size_t keep = 0) {
    Bytes file = read_bytes(RK_TEST_DATA "/jpeg/" + name);
    if (keep) file.resize(keep);
    return file;
}

struct DecodeCase {
    const char* name;
    size_t keep_bytes;  // cut the file to this many bytes; 0 keeps it whole
    uint32_t width, height;
    uint64_t fingerprint;
};

class JpegDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(JpegDecodes, ExactSamples) {
    const DecodeCase& c = GetParam();
    const ReaderRun run = run_reader(write_temp("case.jpg", jpeg(c.name, c.keep_bytes)));
    ASSERT_TRUE(run.image) << ::testing::PrintToString(run.texts);
    EXPECT_FALSE(run.not_my_format);
    // A cut file is finished with a warning, which reaches the sink, not stderr.
    const Texts ran_dry = {"jpeglib warning: ", "Premature end of JPEG file"};
    EXPECT_EQ(run.texts, c.keep_bytes ? ran_dry : Texts{});
    EXPECT_EQ(imgbuf_w(run.image.get()), c.width);
    EXPECT_EQ(imgbuf_h(run.image.get()), c.height);
    EXPECT_EQ(fingerprint(run.image.get()), c.fingerprint);
}

// The large files span several 4096-byte input blocks and several row batches;
// the cut ones end inside the entropy-coded data, where the reader must finish
// as libjpeg's own sources do instead of decoding stale input.
INSTANTIATE_TEST_SUITE_P(
    Files, JpegDecodes,
    ::testing::Values(DecodeCase{"progressive_40x33.jpg", 0, 40, 33, 8167011412739219849u},
                      DecodeCase{"restart_every_row_64x48.jpg", 0, 64, 48, 13251150091433353204u},
                      DecodeCase{"app1_20000_first_24x24.jpg", 0, 24, 24, 5137956791055950377u},
                      DecodeCase{"rgb_300x200.jpg", 0, 300, 200, 15627290507397056093u},
                      DecodeCase{"grey_300x200.jpg", 0, 300, 200, 3828673985563052751u},
                      DecodeCase{"rgb_300x200.jpg", 9000, 300, 200, 10913655393326093130u},
                      DecodeCase{"grey_300x200.jpg", 8192, 300, 200, 1486533790837022295u},
                      DecodeCase{"progressive_120x90.jpg", 3000, 120, 90, 11899621076918140911u}));

struct FailureCase {
    const char* name;
    std::optional<Bytes> file;  // none: a missing file, neither read nor reported
    bool not_my_format;
    Texts texts;
};

TEST(JpegReader, FailuresEndWithNullAndTheRightDiagnostics) {
    Bytes damaged_start = jpeg("rgb_16x16.jpg");
    damaged_start.at(1) = 0xD7;
    // clang-format off
    const FailureCase cases[] = {
        FailureCase{"missing", std::nullopt, false, {}},
        // The source warns when it runs dry and supplies an end marker.
        FailureCase{"empty", Bytes{}, true, {"jpeglib warning: ", "Premature end of JPEG file", "jpeglib error:\n", "Not a JPEG file: starts with 0xff 0xd9"}},
        FailureCase{"start_marker_damaged", damaged_start, true, {"jpeglib error:\n", "Not a JPEG file: starts with 0xff 0xd7"}},
        FailureCase{"cut_inside_app1", jpeg("app1_20000_first_24x24.jpg", 10000), false, {"jpeglib warning: ", "Premature end of JPEG file", "jpeglib error:\n", "JPEG datastream contains no image"}},
    };
    // clang-format on
    for (const FailureCase& c : cases) {
        const std::string path = c.file ? write_temp("case", *c.file) : temp_path("missing");
        const ReaderRun run = run_reader(path);
        EXPECT_FALSE(run.image) << c.name;
        EXPECT_EQ(run.not_my_format, c.not_my_format) << c.name;
        EXPECT_EQ(run.texts, c.texts) << c.name;
    }
}

// The bytes of a file whose reads the system refuses from byte `good` on.
class RefusingSource final : public rk::ByteSource {
  public:
    RefusingSource(Bytes bytes, size_t good) : bytes_(std::move(bytes)), good_(good) {}
    uint64_t size() const noexcept override { return bytes_.size(); }
    size_t read_at(uint64_t offset, void* dst, size_t count) noexcept override {
        const size_t n = offset >= good_ ? 0 : std::min<size_t>(count, good_ - offset);
        std::memcpy(dst, bytes_.data() + offset, n);
        failed_ = failed_ || n < count;
        return n;
    }
    bool read_failed() const noexcept override { return failed_; }

  private:
    Bytes bytes_;
    size_t good_;
    bool failed_ = false;
};

// A refused read ends the decode as an I/O failure, at the header or inside
// the scan, never as a picture finished from what came before.
TEST(JpegReader, ARefusedReadIsNoPicture) {
    for (size_t good : {size_t{0}, size_t{600}, size_t{9000}}) {
        RefusingSource source(jpeg("rgb_300x200.jpg"), good);
        SinkRecorder sink;
        rk_status status = RK_OK;
        EXPECT_FALSE(rk::read_jpeg(source, status, rk::JpegCut::finish)) << good;
        EXPECT_EQ(status, RK_ERROR_IO) << good;
        EXPECT_EQ(sink.texts().back(), "Input file read error") << good;
    }
}

// The rk_ loads refuse a picture whose data ends inside it (load_image
// finishes it with grey, above), as soon as the decoder runs out: baseline,
// progressive and restart-marked files cut at several points, or ended there
// with an end marker, or with a comment and one (any marker but a restart
// marker ends the scan's data). A file that lacks only its end marker is
// whole, and loads with the whole file's bits.
TEST(JpegReader, ACutPictureIsDamagedUnlessOnlyTheEndMarkerIsMissing) {
    const uint8_t kScan[] = {0xFF, 0xDA};  // start of a scan
    for (const char* name : {"rgb_300x200.jpg", "grey_300x200.jpg", "progressive_120x90.jpg",
                             "restart_every_row_64x48.jpg"}) {
        const Bytes whole = jpeg(name);
        auto read = [](Bytes bytes, rk_status& status, Texts* texts = nullptr) {
            rk::MemorySource source({bytes.data(), bytes.size()});
            SinkRecorder sink;
            rk::ImgbufPtr image = rk::read_jpeg(source, status, rk::JpegCut::refuse);
            if (texts) *texts = sink.texts();
            return image;
        };
        rk_status status = RK_OK;
        const uint64_t expected = fingerprint(read(whole, status).get());
        const rk::ImgbufPtr open_ended = read(Bytes(whole.begin(), whole.end() - 2), status);
        ASSERT_EQ(status, RK_OK) << name;
        EXPECT_EQ(fingerprint(open_ended.get()), expected) << name;
        // Cuts inside the data, then just before every scan but the first
        // (where an end marker, following a whole scan, is the file's end).
        std::vector<size_t> ends;
        for (double share : {0.3, 0.6, 0.9}) ends.push_back(size_t(share * whole.size()));
        const size_t inside = ends.size();
        auto scan = std::search(whole.begin(), whole.end(), kScan, kScan + 2);
        while ((scan = std::search(scan + 2, whole.end(), kScan, kScan + 2)) != whole.end())
            ends.push_back(size_t(scan - whole.begin()));
        for (size_t i = 0; i < ends.size(); ++i) {
            const size_t end = ends[i];
            const Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(end));
            Texts texts;
            EXPECT_FALSE(read(cut, status, &texts)) << name << " " << end;
            EXPECT_EQ(status, RK_ERROR_DAMAGED) << name << " " << end;
            EXPECT_EQ(texts, (Texts{"jpeglib warning: ", "Premature end of JPEG file",
                                    "JPEG image loader: ", "Image data cut short."}))
                << name << " " << end;
            if (i >= inside) continue;
            for (const Bytes& tail : {Bytes{0xFF, 0xD9}, Bytes{0xFF, 0xFE, 0, 2, 0xFF, 0xD9}}) {
                Bytes ended = cut;
                append(ended, tail);
                EXPECT_FALSE(read(ended, status, &texts)) << name << " " << end;
                EXPECT_EQ(texts.back(), "Image data cut short.") << name << " " << end;
            }
        }
    }
}

TEST(JpegReader, ConcurrentFailuresKeepTheirOwnMessages) {
    // Each thread fails on its own file; every message must be one of the two,
    // whole, never the other thread's text in the middle of formatting.
    SinkRecorder sink;
    std::vector<std::thread> threads;
    for (const std::string start : {"abc", "xyz"}) {
        threads.emplace_back([path = widen(write_temp(start, Bytes(start.begin(), start.end())))] {
            bool not_my_format = false;
            for (int i = 0; i < 200; ++i) rk::load_jpeg(path, not_my_format);
        });
    }
    for (std::thread& t : threads) t.join();
    const Texts texts = sink.texts();
    ASSERT_EQ(texts.size(), 800u);
    for (const std::string& t : texts) {
        EXPECT_TRUE(t == "jpeglib error:\n" || t == "Not a JPEG file: starts with 0x61 0x62" ||
                    t == "Not a JPEG file: starts with 0x78 0x79")
            << t;
    }
}

}  // namespace
