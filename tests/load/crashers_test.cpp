// Inputs that once crashed load_image (found by fuzz/fuzz_load_image), each kept
// under tests/data/crashers/load with the name it was fuzzed under: a file
// starting like a JPEG XR one ends in .jxr, as the fuzz target names it. Every
// one must now fail cleanly; run under the sanitizers this also proves that
// nothing is read or written outside a buffer on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "image_helpers.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDir = RK_TEST_DATA "/crashers/load";

std::vector<std::string> crashers() {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(kDir)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name != "README") files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

class Crasher : public ::testing::TestWithParam<std::string> {};

TEST_P(Crasher, FailsCleanly) {
    const std::string s = (kDir / GetParam()).string();
    Img img(load_image(std::u16string(s.begin(), s.end()).c_str()));
    EXPECT_FALSE(img);
}

INSTANTIATE_TEST_SUITE_P(Load, Crasher, ::testing::ValuesIn(crashers()), [](const auto& info) {
    std::string name = info.param;
    std::replace_if(
        name.begin(), name.end(),
        [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

}  // namespace
