// A batch's memory: each job frees its images, so the peak of many photographs
// on two workers is the peak of a few. (A few, not two: two photographs may end
// before their workers' steps overlap at their widest.)
#include <gtest/gtest.h>

#include "image_helpers.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

TEST(BatchMemory, PeakDoesNotGrowWithTheNumberOfImages) {
    if (RK_SANITIZED_BUILD) GTEST_SKIP() << "the sanitizers' quarantine holds freed memory";
    TempDir dir;
    // 6.25 MiB float images: their blocks go through the block cache.
    Img photo = image_of(640, 640, [](uint32_t x, uint32_t y) {
        return Px{float((x ^ y) % 61) / 60, float(x % 17) / 16, float(y % 23) / 22, 1};
    });
    char16_t message[RK_MIN_MESSAGE_CAPACITY] = {};
    std::vector<std::string> args = {"-j", "2", "--quiet", "-o", "out"};
    for (int i = 0; i < 16; ++i) {
        const std::string name = "photo" + std::to_string(i) + ".png";
        const std::string path = (dir.path() / name).string();
        core_saveimage_png(message, RK_MIN_MESSAGE_CAPACITY,
                           std::u16string(path.begin(), path.end()).c_str(), photo.get());
        ASSERT_EQ(message[0], u'\0');
        args.push_back(name);
    }
    const ProgramRun all = run_reliefkit(dir.path(), args);
    args.resize(9);  // the options and four photographs
    const ProgramRun four = run_reliefkit(dir.path(), args);
    ASSERT_EQ(all.status, 0) << all.err;
    ASSERT_EQ(four.status, 0) << four.err;
    // Growth with the count would be four times; what two workers hold at
    // once varies with how their widest moments meet (more often among
    // sixteen, and under a loaded machine's scheduling).
    EXPECT_LE(all.peak_kib, four.peak_kib * 5 / 4) << "four photographs: " << four.peak_kib;
}

}  // namespace
