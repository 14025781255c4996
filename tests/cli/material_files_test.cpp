// Channel packing, the engine presets (and the README's table of them), and
// the glTF material file: valid JSON whose accessors fit its buffer and whose
// every URI names an existing file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "channel_pack.h"
#include "engine_presets.h"
#include "gltf_material.h"
#include "image_helpers.h"
#include "interrupt.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;

TEST(ChannelPack, OrmAndMetallicSmoothnessFromMapsAndConstants) {
    const Img ao = filled(3, 2, {0.25f, 9, 9, 9}), rough = filled(3, 2, {0.75f, 9, 9, 9});
    const Img wrong = filled(2, 3, {0, 0, 0, 0});
    const auto pack = [](rkcli::Packing p, const imgbuf* a, const imgbuf* r) {
        return rkcli::pack_channels(3, 2, rkcli::packing_sources(p, a, r, 0.5f));
    };
    EXPECT_EQ(get_px(pack(rkcli::Packing::orm, ao.get(), rough.get()).get(), 2, 1),
              (Px{0.25f, 0.75f, 0.5f, 1}));
    EXPECT_EQ(get_px(pack(rkcli::Packing::orm, nullptr, nullptr).get(), 0, 0), (Px{1, 1, 0.5f, 1}));
    EXPECT_EQ(get_px(pack(rkcli::Packing::metallic_smoothness, ao.get(), rough.get()).get(), 1, 1),
              (Px{0.5f, 0.5f, 0.5f, 0.25f}));
    EXPECT_EQ(pack(rkcli::Packing::orm, wrong.get(), rough.get()), nullptr);
    // From maps' kept channels, one value a pixel, row after row.
    const Img varied = noise(3, 2, 1);
    const std::vector<float> a = rkcli::channel_values(varied.get(), 1);
    const std::vector<float> r = rkcli::channel_values(rough.get(), 0);
    const Px p = get_px(varied.get(), 2, 1);
    const auto orm = rkcli::packing_sources(rkcli::Packing::orm, a.data(), r.data(), 0.5f);
    EXPECT_EQ(get_px(rkcli::pack_channels(3, 2, orm).get(), 2, 1), (Px{p[1], 0.75f, 0.5f, 1}));
    const auto smooth =
        rkcli::packing_sources(rkcli::Packing::metallic_smoothness, nullptr, r.data(), 0.5f);
    EXPECT_EQ(get_px(rkcli::pack_channels(3, 2, smooth).get(), 1, 1),
              (Px{0.5f, 0.5f, 0.5f, 0.25f}));
}

namespace {

std::string describe(rkcli::MapFile f) {
    constexpr const char* names[] = {"PNG 8-bit", "PNG 16-bit", "EXR half",     "EXR float",
                                     "DDS BC4",   "DDS BC5",    "DDS BC7 sRGB", "DDS BC7"};
    return names[static_cast<int>(f)];
}

// The README's preset table: its cells by preset name.
std::map<std::string, std::vector<std::string>> readme_presets() {
    std::ifstream in(std::string(RK_SOURCE_DIR) + "/README.md");
    std::map<std::string, std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line) && line.rfind("| preset |", 0) != 0) {
    }
    while (std::getline(in, line) && !line.empty()) {
        if (line.rfind("| `", 0) != 0) continue;
        std::vector<std::string> cells;
        std::stringstream cells_in(line.substr(1));
        for (std::string cell; std::getline(cells_in, cell, '|');)
            cells.push_back(cell.substr(1, cell.size() - 2));
        rows[cells[0].substr(1, cells[0].size() - 2)] = cells;
    }
    return rows;
}

}  // namespace

TEST(EnginePresets, FoundByNameAndAsTheReadmeTableSays) {
    const auto rows = readme_presets();
    std::set<std::string_view> names;
    for (const rkcli::EnginePreset& p : rkcli::engine_presets()) {
        EXPECT_TRUE(names.insert(p.name).second) << p.name;
        EXPECT_EQ(rkcli::find_engine_preset(p.name), &p);
        ASSERT_TRUE(rows.count(std::string(p.name))) << p.name << " is not in the README";
        const std::string name(p.name);
        const std::vector<std::string> want = {
            std::string("`").append(name).append("`"),
            p.green == rkcli::GreenDirection::up ? "up" : "down",
            p.packing == rkcli::Packing::orm ? "ORM" : "metallic + smoothness",
            describe(p.colour),
            describe(p.normal),
            describe(p.packed),
            describe(p.single),
            describe(p.height)};
        const auto& got = rows.at(std::string(p.name));
        EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 8), want);
    }
    EXPECT_EQ(rows.size(), names.size());
    EXPECT_EQ(rkcli::find_engine_preset("Unreal"), nullptr);
    // glTF itself reads only PNG and JPEG, and its normal maps point green up.
    const rkcli::EnginePreset* gltf = rkcli::find_engine_preset("gltf");
    ASSERT_NE(gltf, nullptr);
    EXPECT_EQ(gltf->green, rkcli::GreenDirection::up);
    for (rkcli::MapFile f : {gltf->colour, gltf->normal, gltf->packed})
        EXPECT_EQ(rkcli::map_file_extension(f), ".png");
}

namespace {

std::vector<uint8_t> from_base64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        acc = acc << 6 | static_cast<uint32_t>(digits.find(c));
        if ((bits += 6) >= 8) out.push_back(static_cast<uint8_t>(acc >> (bits -= 8)));
    }
    return out;
}

std::string percent_decoded(const std::string& uri) {
    std::string out;
    for (size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] != '%') {
            out += uri[i];
            continue;
        }
        out += static_cast<char>(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

}  // namespace

TEST(GltfMaterial, ValidJsonWhoseBufferFitsAndWhoseFilesExist) {
    const TempDir dir;
    fs::create_directories(dir / "maps");
    rkcli::GltfMaterial m;
    m.width = 300, m.height = 200;
    m.base_colour = dir.write("maps/wall albedo é.png");
    m.normal = dir.write("maps/wall_normal.png");
    m.orm = dir.write("maps/wall_orm.PNG");
    m.height_map = dir.write("maps/wall_height.exr");
    ASSERT_EQ(rkcli::write_gltf_material(dir / "out.gltf", m), "");
    const json g = json::parse(read_bytes(dir / "out.gltf"));
    EXPECT_EQ(g["asset"]["version"], "2.0");

    const std::string data = g["buffers"][0]["uri"];
    const std::vector<uint8_t> buffer = from_base64(data.substr(data.find(',') + 1));
    EXPECT_EQ(buffer.size(), g["buffers"][0]["byteLength"]);
    const std::map<std::string, size_t> components = {
        {"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4}};
    for (const json& a : g["accessors"]) {
        const json& view = g["bufferViews"][a["bufferView"].get<size_t>()];
        const size_t size = a["componentType"] == 5126 ? 4 : 2;
        EXPECT_EQ(a["count"].get<size_t>() * components.at(a["type"]) * size, view["byteLength"]);
        EXPECT_LE(view["byteOffset"].get<size_t>() + view["byteLength"].get<size_t>(),
                  buffer.size());
        EXPECT_EQ(view["byteOffset"].get<size_t>() % size, 0u);
    }
    const json& primitive = g["meshes"][0]["primitives"][0];
    for (const auto& [name, accessor] : primitive["attributes"].items())
        EXPECT_EQ(g["accessors"][accessor.get<size_t>()]["count"], 4) << name;
    EXPECT_EQ(g["accessors"][primitive["indices"].get<size_t>()]["count"], 6);
    EXPECT_EQ(g["accessors"][0]["max"], json({0.5, 1 / 3.0f, 0}));  // the maps' aspect

    const json& material = g["materials"][0];
    EXPECT_EQ(material["occlusionTexture"],
              material["pbrMetallicRoughness"]["metallicRoughnessTexture"]);
    std::vector<std::string> uris = {material["extras"]["height"]["uri"]};
    for (const json& image : g["images"]) uris.push_back(image["uri"]);
    EXPECT_EQ(uris.size(), 4u);
    for (const std::string& uri : uris) EXPECT_TRUE(fs::exists(dir / percent_decoded(uri))) << uri;

    // A file name need not be UTF-8; the material is still written, its name
    // readable and its URI escaping every byte.
    m.name = "bad\xff";
    m.normal = dir.write("bad\xff_normal.png");
    ASSERT_EQ(rkcli::write_gltf_material(dir / "bad\xff.gltf", m), "");
    const json named = json::parse(read_bytes(dir / "bad\xff.gltf"));
    EXPECT_EQ(named["materials"][0]["name"], "bad\xEF\xBF\xBD");
    EXPECT_EQ(named["images"][2]["uri"], "bad%FF_normal.png");

    m.normal = dir / "maps/wall_normal.exr";  // not an image glTF knows
    EXPECT_NE(rkcli::write_gltf_material(dir / "bad.gltf", m), "");
    EXPECT_FALSE(fs::exists(dir / "bad.gltf"));

    // Links planted under the temporary names (a process id is no secret) are
    // never written through, nor put in the material's place.
    const fs::path victim = dir.write("victim", "kept");
    for (int n = 0; n < 16; ++n) {
        const std::string temp =
            ".reliefkit-" + std::to_string(::getpid()) + "-" + std::to_string(n) + ".gltf.tmp";
        fs::create_symlink(victim, dir / temp);
    }
    m.normal = dir / "maps/wall_normal.png";
    ASSERT_EQ(rkcli::write_gltf_material(dir / "linked.gltf", m), "");
    EXPECT_EQ(read_bytes(victim), std::vector<uint8_t>({'k', 'e', 'p', 't'}));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "linked.gltf")));
}

// After Ctrl-C no material file is begun, as no map is: the stop waits only for
// the saves under way, and a temporary file of a save it did not wait for
// would be left behind.
TEST(GltfMaterialDeathTest, NoneBegunOnceStopped) {
    const TempDir dir;
    rkcli::GltfMaterial m;
    m.width = m.height = 4;
    m.normal = dir.write("wall_normal.png");
    EXPECT_EXIT(
        {
            rkcli::end_batch_on_stop_signals();
            rkcli::begin_save();  // a save under way holds the stop back
            ::kill(::getpid(), SIGINT);
            while (rkcli::begin_save()) rkcli::end_save();
            if (rkcli::write_gltf_material(dir / "late.gltf", m).empty()) ::_exit(1);
            rkcli::end_save();  // the stop ends the process now
            ::pause();
        },
        testing::ExitedWithCode(128 + SIGINT), "reliefkit: stopped");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);  // wall_normal.png
}

// A failed write says why in the system's words, as a map's does.
TEST(GltfMaterialDeathTest, FailureGivesTheReason) {
    const TempDir dir;
    rkcli::GltfMaterial m;
    m.width = m.height = 4;
    m.normal = dir.write("wall_normal.png");
    const rlimit bytes{200, 200};  // the message fits, the material does not
    EXPECT_EXIT(::signal(SIGXFSZ, SIG_IGN); ::setrlimit(RLIMIT_FSIZE, &bytes);
                std::cerr << rkcli::write_gltf_material(dir / "big.gltf", m); ::_exit(0),
                testing::ExitedWithCode(0), "^Could not write output file: File too large$");
}

// An existing material file is replaced as the map files are: a node that is
// no file is left, a file keeps its permissions, and one this user may not
// write is refused. (As root only the first two hold; the refusal is tried in
// a child that gives its privileges up, working in the folder by relative
// names, since the test's temporary folder is root's alone.)
TEST(GltfMaterial, ReplacesWhatTheMapFilesWouldAndNothingElse) {
    const TempDir dir;
    rkcli::GltfMaterial m;
    m.width = m.height = 4;
    m.normal = "wall_normal.png";
    dir.write("wall_normal.png");
    ASSERT_EQ(::mkfifo((dir / "pipe.gltf").c_str(), 0600), 0);
    EXPECT_NE(rkcli::write_gltf_material(dir / "pipe.gltf", m), "");
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.gltf"));

    const fs::path kept = dir.write("kept.gltf", "old");
    fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read);
    ASSERT_EQ(rkcli::write_gltf_material(kept, m), "");
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::group_read);
    EXPECT_NE(read_bytes(kept), std::vector<uint8_t>({'o', 'l', 'd'}));

    const fs::path locked = dir.write("locked.gltf", "old");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir.path(), fs::perms::all);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool user = ::chdir(dir.path().c_str()) == 0 &&
                          (::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0));
        // The same user may write a new one there.
        ::_exit(user && rkcli::write_gltf_material("new.gltf", m).empty() &&
                        !rkcli::write_gltf_material("locked.gltf", m).empty()
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_bytes(locked), std::vector<uint8_t>({'o', 'l', 'd'}));
}
