// Inputs that once crashed load_image (found by fuzz/fuzz_load_image), each kept
// under tests/data/crashers/load with the name it was fuzzed under: a file
// starting like a JPEG XR one ends in .jxr, as the fuzz target names it. Every
// one must now fail cleanly; run under the sanitizers this also proves that
// nothing is read or written outside a buffer on the way.
#include <gtest/gtest.h>

#include <filesystem>

#include "image_helpers.h"

TEST(Crashers, EveryOneFailsCleanly) {
    size_t seen = 0;
    for (const auto& e : std::filesystem::directory_iterator(RK_TEST_DATA "/crashers/load")) {
        if (e.path().filename() == "README") continue;
        EXPECT_FALSE(Img(load_image(e.path().u16string().c_str()))) << e.path();
        ++seen;
    }
    EXPECT_GE(seen, 7u);
}
