// Every small valid file of the corpus loads at its size, and every cut of it
// ends in null or an image of that size, never reading outside a buffer (run
// under ASan). Damaged headers are the loader fuzz target's work, seeded with
// this corpus; the inputs it once crashed on are kept by crashers_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "image_helpers.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

Img load(const fs::path& p) {
    const std::string s = p.string();
    return Img(load_image(std::u16string(s.begin(), s.end()).c_str()));
}

TEST(HostileCorpus, ValidFilesLoadAndCutsFailOrKeepTheSize) {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(RK_TEST_DATA "/corpus")) files.push_back(e.path());
    ASSERT_GE(files.size(), 10u);
    const TempDir dir;
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::string full(std::istreambuf_iterator<char>(in), {});
        for (size_t k = 1; k <= 16; ++k) {
            Img img = load(dir.write("cut" + f.extension().string(), full.substr(0, full.size() * k / 16)));
            ASSERT_TRUE(img || k < 16) << f;
            if (!img) continue;
            EXPECT_EQ(imgbuf_w(img.get()), 9u) << f << " cut at " << k << "/16";
            EXPECT_EQ(imgbuf_h(img.get()), 7u) << f << " cut at " << k << "/16";
        }
    }
}

}  // namespace
