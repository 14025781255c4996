// The library has one diagnostics sink for all threads; each input's reasons
// must still reach only that input's report.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "diagnostics.h"
#include "image_helpers.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> reasons_for(const std::filesystem::path& file) {
    const std::u16string path = widen(file);
    std::vector<std::string> texts;
    rkcli::DiagnosticsCapture capture(texts);
    EXPECT_FALSE(Img(load_image(path.c_str())));
    return texts;
}

}  // namespace

TEST(Diagnostics, EachThreadCollectsOnlyItsOwnInputsReasons) {
    TempDir dir;
    const auto cut_png = dir.write("cut.png", file_bytes(RK_SAMPLES "/bricks.png").substr(0, 100));
    const auto words = dir.write("words.png", "no picture in here, just words");
    rkcli::install_diagnostics_sink();
    const auto cut_reasons = reasons_for(cut_png);
    const auto word_reasons = reasons_for(words);
    ASSERT_FALSE(cut_reasons.empty());
    ASSERT_NE(cut_reasons, word_reasons);  // else the test could not tell them apart

    std::atomic<int> mismatches = 0;
    {
        std::jthread a([&] {
            for (int i = 0; i < 40; ++i) mismatches += reasons_for(cut_png) != cut_reasons;
        });
        for (int i = 0; i < 40; ++i) mismatches += reasons_for(words) != word_reasons;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(Img(load_image(u"/nonexistent")));  // outside a capture: dropped
}
