// The library's one diagnostics sink, shared by every thread, must still tell
// each input's reasons apart.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "diagnostics.h"
#include "image_helpers.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> load_and_collect(const std::u16string& path) {
    std::vector<std::string> texts;
    rkcli::DiagnosticsCapture capture(texts);
    Img image(load_image(path.c_str()));
    EXPECT_FALSE(image);
    return texts;
}

std::u16string wide(const std::filesystem::path& path) {
    const std::string s = path.string();
    return std::u16string(s.begin(), s.end());
}

std::string head_of_sample(size_t bytes) {
    std::ifstream in(RK_SAMPLES "/bricks.png", std::ios::binary);
    std::string data(bytes, '\0');
    in.read(data.data(), static_cast<std::streamsize>(bytes));
    return data;
}

}  // namespace

TEST(Diagnostics, EachThreadCollectsOnlyItsOwnInputsTexts) {
    TempDir dir;
    const auto cut_png = wide(dir.write("cut.png", head_of_sample(100)));
    const auto text = wide(dir.write("text.png", "no picture in here, just words"));
    rkcli::install_diagnostics_sink();
    const auto cut_reasons = load_and_collect(cut_png);
    const auto text_reasons = load_and_collect(text);
    ASSERT_FALSE(cut_reasons.empty());
    ASSERT_FALSE(text_reasons.empty());
    ASSERT_NE(cut_reasons, text_reasons);  // else the test could not tell them apart

    constexpr int kRounds = 40;
    auto check = [&](const std::u16string& path, const std::vector<std::string>& expected,
                     int& mismatches) {
        for (int i = 0; i < kRounds; ++i) mismatches += load_and_collect(path) != expected;
    };
    int cut_mismatches = 0, text_mismatches = 0;
    {
        std::jthread a([&] { check(cut_png, cut_reasons, cut_mismatches); });
        std::jthread b([&] { check(text, text_reasons, text_mismatches); });
    }
    EXPECT_EQ(cut_mismatches, 0);
    EXPECT_EQ(text_mismatches, 0);
}

TEST(Diagnostics, NestedCaptureRestoresTheOuterOne) {
    TempDir dir;
    const auto text = wide(dir.write("text.png", "no picture"));
    rkcli::install_diagnostics_sink();
    std::vector<std::string> outer, inner;
    {
        rkcli::DiagnosticsCapture outer_capture(outer);
        {
            rkcli::DiagnosticsCapture inner_capture(inner);
            Img(load_image(text.c_str()));
        }
        EXPECT_TRUE(outer.empty());
        Img(load_image(text.c_str()));
    }
    EXPECT_FALSE(inner.empty());
    EXPECT_EQ(outer, inner);
    Img(load_image(text.c_str()));  // no capture: dropped, nothing breaks
    EXPECT_EQ(outer, inner);
}
