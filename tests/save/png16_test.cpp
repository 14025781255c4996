// save_png_ex at 16 bits: saturation, rounding and channel choice as stored
// (8 bits is the existing savers' path; other readers: readback_check.py).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "image_helpers.h"
#include "temp_dir.h"

TEST(SavePngEx, SixteenBitSamplesAndChannels) {
    const TempDir dir;
    const auto file = dir / "map.png";
    const std::u16string path = widen(file);
    const float probes[] = {-0.25f, NAN, 0.0f, 0.5f, 1.0f, 2.0f, 1.0f / 3.0f, 12345.0f / 65535.0f};
    const long codes[] = {0, 0, 0, 32768, 65535, 65535, 21845, 12345};
    Img img = make_img(8, 1);  // red the probes, green 0.25, blue 0.75
    for (uint32_t x = 0; x < 8; ++x) set_px(img.get(), x, 0, {probes[x], 0.25f, 0.75f, 1.0f});
    char16_t msg[128];
    for (uint32_t layout : {RK_PNG_GREY, RK_PNG_RGB}) {
        save_png_ex(msg, 128, path.c_str(), img.get(), 16, layout, layout == 1 ? 2 : 1, 0, 2);
        Img back(load_image(path.c_str()));
        std::filesystem::remove(file);
        ASSERT_TRUE(back && msg[0] == 0);
        for (uint32_t x = 0; x < 8; ++x) {
            const Px px = get_px(back.get(), x, 0);  // grey: blue; RGB: green, red, blue
            const long want[3] = {layout == RK_PNG_GREY ? 49151 : 16384, codes[x], 49151};
            for (uint32_t s = 0; s < layout; ++s)
                EXPECT_EQ(std::lround(px[s] * 65535), want[s]) << x;
        }
    }
    for (auto [depth, layout] : {std::pair{12u, RK_PNG_RGB}, {16u, 2u}, {0u, RK_PNG_GREY}}) {
        save_png_ex(msg, 128, path.c_str(), img.get(), depth, layout, 0, 1, 2);
        EXPECT_TRUE(msg[0] != 0 && !std::filesystem::exists(file));
    }
}
