// The command's material options on real files: each combination writes
// exactly its files, in the formats named, and a glTF file whose every
// reference exists; the packed file holds the maps written beside it; maps
// made together are the maps made alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "image_helpers.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> files_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// The first bytes of each format written.
std::string magic_of(const std::string& name) {
    const std::string ext = fs::path(name).extension().string();
    return ext == ".png" ? "\x89PNG" : ext == ".dds" ? "DDS " : ext == ".exr" ? "\x76\x2f\x31\x01" : "{";
}

TEST(MaterialProgram, EachCombinationWritesItsFilesAndAGltfThatResolves) {
    const TempDir dir;
    const std::string m6 = "height,normal,ao,curvature,roughness,albedo";
    const std::vector<std::pair<std::vector<std::string>, std::set<std::string>>> cases = {
        {{}, {"b_height.png", "b_normal.png"}},
        {{"--maps", m6, "--gltf"}, {"b_height.png", "b_normal.png", "b_ao.png", "b_curvature.png", "b_roughness.png", "b_albedo.png", "b_orm.png", "b.gltf"}},
        {{"--maps", "height,ao", "--format", "exr"}, {"b_height.exr", "b_ao.exr"}},
        {{"--maps", "normal,roughness,albedo", "--format", "dds", "--pack", "orm"}, {"b_normal.dds", "b_roughness.dds", "b_albedo.dds", "b_orm.dds"}},
        {{"--preset", "unreal", "--maps", "height,normal,ao,albedo"}, {"b_height.png", "b_normal.dds", "b_ao.dds", "b_albedo.dds", "b_orm.dds"}},
        {{"--preset", "unity", "--maps", "normal,roughness"}, {"b_normal.png", "b_roughness.png", "b_metallic.png"}},
        {{"--preset", "gltf", "--maps", "normal,albedo"}, {"b_normal.png", "b_albedo.png", "b_orm.png", "b.gltf"}},
        {{"--from-height", "--maps", "normal,ao,curvature", "--ao-radius", "8", "--ao-directions", "4"}, {"b_normal.png", "b_ao.png", "b_curvature.png"}},
        {{"--maps", "albedo"}, {"b_albedo.png"}},
        {{"--maps", "height,albedo", "--light", "100"}, {"b_height.png", "b_albedo.png"}},
        {{"--maps", "albedo", "--light", "100"}, {"b_albedo.png"}},
        {{"--maps", "albedo", "--light", "-260"}, {"b_albedo.png"}},
        {{"--preset", "godot", "--maps", "normal"}, {"b_normal.png"}},
    };  // the first line: the command as before
    int run = 0;
    for (const auto& [options, expected] : cases) {
        const fs::path out = dir / std::to_string(run++);
        std::vector<std::string> args = {"-q", "--resize", "64x48", "-o", out.string()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(RK_SAMPLES "/bricks.png");
        fs::create_directories(out);
        // A photograph named b, or for --from-height a height map named b_height.
        const fs::path input = options.size() && options[0] == "--from-height" ? out / "b_height.png" : dir / "b.png";
        fs::copy_file(args.back(), input, fs::copy_options::overwrite_existing);
        args.back() = input.string();
        const ProgramRun r = run_reliefkit(dir.path(), args);
        ASSERT_EQ(r.status, 0) << testing::PrintToString(options) << r.err;
        std::set<std::string> made = files_in(out);
        if (input.parent_path() == out) made.erase(input.filename().string());
        EXPECT_EQ(made, expected) << testing::PrintToString(options);
        for (const std::string& name : made) EXPECT_TRUE(file_bytes(out / name).starts_with(magic_of(name))) << name;
        if (!made.contains("b.gltf")) continue;
        std::set<std::string> uris;
        const auto walk = [&](const nlohmann::json& j, auto& self) -> void {
            if (j.is_object() && j.contains("uri") && !j["uri"].get<std::string>().starts_with("data:")) uris.insert(j["uri"].get<std::string>());
            if (j.is_structured()) for (const auto& child : j) self(child, self);
        };
        walk(nlohmann::json::parse(file_bytes(out / "b.gltf")), walk);
        uris.insert("b.gltf");
        std::set<std::string> images = made;  // every map the file can use, and nothing missing
        images.erase("b_ao.png"), images.erase("b_curvature.png"), images.erase("b_roughness.png");
        EXPECT_EQ(uris, images);
    }
    // Made with the heights (over the photograph) or alone, the colour is the
    // same, and so are the heights made beside it.
    EXPECT_EQ(file_bytes(dir / "1/b_albedo.png"), file_bytes(dir / "8/b_albedo.png"));
    EXPECT_EQ(file_bytes(dir / "1/b_height.png"), file_bytes(dir / "0/b_height.png"));
    // --light is the colour's light too, made with the heights or alone, given
    // either way round the circle.
    EXPECT_EQ(file_bytes(dir / "9/b_albedo.png"), file_bytes(dir / "10/b_albedo.png"));
    EXPECT_EQ(file_bytes(dir / "10/b_albedo.png"), file_bytes(dir / "11/b_albedo.png"));
    EXPECT_NE(file_bytes(dir / "10/b_albedo.png"), file_bytes(dir / "8/b_albedo.png"));
    // The ORM file of the second run: occlusion, roughness, --metallic's 0.
    const Img orm(load_image(widen(dir / "1/b_orm.png").c_str())), ao(load_image(widen(dir / "1/b_ao.png").c_str()));
    const Img rough(load_image(widen(dir / "1/b_roughness.png").c_str()));
    for (uint32_t y = 0; y < 48; y += 7)
        for (uint32_t x = 0; x < 64; x += 5)
            EXPECT_EQ(get_px(orm.get(), x, y), (Px{get_px(ao.get(), x, y)[0], get_px(rough.get(), x, y)[0], 0, 1}));
    // The base colour is opaque in every format: a see-through photograph's
    // DDS colour is the opaque one's (BC7 would keep its alpha).
    const Img photo = noise(24, 16, 3);
    rk_png_params png;
    rk_png_params_init(&png, sizeof png);
    ASSERT_EQ(rk_save_png_file((dir / "o.png").c_str(), photo.get(), &png), RK_OK);
    png.layout = RK_PNG_RGBA;
    ASSERT_EQ(rk_save_png_file((dir / "t.png").c_str(), photo.get(), &png), RK_OK);
    for (const char* name : {"o.png", "t.png"})
        ASSERT_EQ(run_reliefkit(dir.path(), {"-q", "--maps", "albedo", "--format", "dds", "-o", "dds", name}).status, 0);
    EXPECT_EQ(file_bytes(dir / "dds/o_albedo.dds"), file_bytes(dir / "dds/t_albedo.dds"));
    // glTF and the engines read the normal map's blue as they read red and
    // green: 0.5 + 0.5 z (--gltf, --preset unity, --preset godot).
    for (const char* run : {"1", "5", "12"}) {
        const Img normal(load_image(widen(dir / run / "b_normal.png").c_str()));
        for (uint32_t y = 1; y < 47; y += 3)
            for (uint32_t x = 1; x < 63; x += 3) {
                const Px n = get_px(normal.get(), x, y);
                const float nx = 2 * n[0] - 1, ny = 2 * n[1] - 1;
                EXPECT_NEAR(n[2], 0.5f + 0.5f * std::sqrt(std::max(0.0f, 1 - nx * nx - ny * ny)), 2.0f / 255) << run;
            }
    }
}

}  // namespace
