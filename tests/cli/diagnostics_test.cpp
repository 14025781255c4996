// The library has one diagnostics sink for all threads; each input's reasons
// must still reach only that input's report.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "diagnostics.h"
#include "image_helpers.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> reasons_for(const std::filesystem::path& file) {
    const std::string name = file.string();
    const std::u16string path(name.begin(), name.end());
    std::vector<std::string> texts;
    rkcli::DiagnosticsCapture capture(texts);
    EXPECT_FALSE(Img(load_image(path.c_str())));
    return texts;
}

}  // namespace

TEST(Diagnostics, EachThreadCollectsOnlyItsOwnInputsReasons) {
    TempDir dir;
    std::ifstream sample(RK_SAMPLES "/bricks.png", std::ios::binary);
    std::string head(100, '\0');
    sample.read(head.data(), 100);
    const auto cut_png = dir.write("cut.png", head);
    const auto words = dir.write("words.png", "no picture in here, just words");
    rkcli::install_diagnostics_sink();
    const auto cut_reasons = reasons_for(cut_png);
    const auto word_reasons = reasons_for(words);
    ASSERT_FALSE(cut_reasons.empty());
    ASSERT_NE(cut_reasons, word_reasons);  // else the test could not tell them apart

    int mismatches[2] = {0, 0};
    {
        std::jthread a([&] {
            for (int i = 0; i < 40; ++i) mismatches[0] += reasons_for(cut_png) != cut_reasons;
        });
        std::jthread b([&] {
            for (int i = 0; i < 40; ++i) mismatches[1] += reasons_for(words) != word_reasons;
        });
    }
    EXPECT_EQ(mismatches[0], 0);
    EXPECT_EQ(mismatches[1], 0);
    EXPECT_FALSE(Img(load_image(u"/nonexistent")));  // outside a capture: dropped
}
