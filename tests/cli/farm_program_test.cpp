// Lists, trees, shards, the manifest and the report as a farm runs the program.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "file_hash.h"
#include "png_test_io.h"
#include "run_program.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// A small grey picture whose levels depend on seed, so every file differs.
void save_picture(const fs::path& path, int seed) {
    fs::create_directories(path.parent_path());
    png_test::Fixture f;
    f.width = 10, f.height = 8, f.color_type = PNG_COLOR_TYPE_GRAY;
    for (int i = 0; i < 80; ++i) f.rows.push_back(static_cast<uint8_t>((i * (seed + 3) * 7) % 251));
    write_bytes(path, png_test::encode(f));
}

void put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Every file under dir (manifest and lock aside): name relative to dir -> bytes.
std::map<std::string, std::string> tree(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && !entry.path().filename().string().starts_with(".reliefkit"))
            files[entry.path().lexically_relative(dir).string()] = file_bytes(entry.path());
    }
    return files;
}

// The report's lines, checked against the documented shape and the files
// themselves: input -> status.
std::map<std::string, std::string> statuses(const std::string& jsonl, const fs::path& cwd) {
    std::map<std::string, std::string> found;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
        const Json entry = Json::parse(line);
        std::string keys;
        for (const auto& item : entry.items()) keys += item.key() + " ";
        EXPECT_EQ(keys, "input status outputs seconds error ");
        EXPECT_TRUE(entry["seconds"] >= 0 &&
                    entry["error"].is_string() == (entry["status"] == "failed"))
            << line;
        for (const Json& output : entry["outputs"])
            EXPECT_EQ(output["xxh3"],
                      rkcli::file_xxh3(cwd / output["path"].get<std::string>()).value_or("?"));
        EXPECT_TRUE(found.emplace(entry["input"], entry["status"]).second) << line;
    }
    return found;
}

class Farm : public ::testing::Test {
  protected:
    ProgramRun run(std::vector<std::string> args, int status) {
        ProgramRun r = run_reliefkit(dir.path(), args);
        EXPECT_EQ(r.status, status) << testing::PrintToString(args) << r.err;
        return r;
    }
    std::map<std::string, std::string> report(const std::string& name) {
        return statuses(file_bytes(dir / name), dir.path());
    }
    TempDir dir;
};

}  // namespace

TEST_F(Farm, TreesAndListsAreMirroredAndShardsAtOnceShareThemOutOnce) {
    const std::vector<std::string> inputs = {"photos/a/wall.png", "photos/b/wall.png",
                                             "photos/b/c/x.png", "photos/top.PNG"};
    std::map<std::string, std::string> made, skipped;
    for (size_t i = 0; i < inputs.size(); ++i) {
        save_picture(dir / inputs[i], int(i));
        made[inputs[i]] = "made", skipped[inputs[i]] = "skipped";
    }
    const ProgramRun all = run({"-r", "photos", "-o", "all", "--report", "-"}, 0);
    EXPECT_EQ(statuses(all.out, dir.path()), made);  // standard output holds the report alone
    run({"--null", "photos/top.PNG"}, 2);

    // The N parts run at once into one folder, sharing its manifest.
    for (const int count : {2, 3, 7}) {
        const std::string out = "shards" + std::to_string(count);
        std::vector<std::future<int>> parts;
        for (int k = 1; k <= count; ++k) {
            const std::vector<std::string> args = {"-r",
                                                   "photos",
                                                   "-o",
                                                   out,
                                                   "--skip-unchanged",
                                                   "--shard",
                                                   std::to_string(k) + "/" + std::to_string(count),
                                                   "--report",
                                                   std::to_string(k) + ".jsonl"};
            parts.push_back(std::async(
                std::launch::async, [=, this] { return run_reliefkit(dir.path(), args).status; }));
        }
        std::map<std::string, std::string> union_of_parts;
        for (int k = 1; k <= count; ++k) {
            EXPECT_EQ(parts[k - 1].get(), 0);
            for (const auto& [input, status] : report(std::to_string(k) + ".jsonl"))
                EXPECT_TRUE(union_of_parts.emplace(input, status).second)
                    << input << " in two parts";
        }
        EXPECT_EQ(union_of_parts, made) << count;
        EXPECT_EQ(tree(dir / out), tree(dir / "all")) << count;
        run({"-r", "photos", "-o", out, "--skip-unchanged", "--report", "r.jsonl"}, 0);
        EXPECT_EQ(report("r.jsonl"), skipped) << count;
    }
}

TEST_F(Farm, TheManifestRemakesExactlyWhatChangedAndTheReportSaysSo) {
    for (int i = 0; i < 4; ++i)
        save_picture(dir / "in" / (std::string(1, char('a' + i)) + ".png"), i);
    put(dir / "in/bad.png", "not pixels");
    const std::vector<std::string> args = {"-r",       "in",     "-o", "out", "--skip-unchanged",
                                           "--report", "r.jsonl"};
    auto expect = [&](const char* abcd) {  // m: a, b, c or d made; s: skipped
        std::map<std::string, std::string> expected = {{"in/bad.png", "failed"}};
        for (int i = 0; i < 4; ++i)
            expected[std::string("in/") + char('a' + i) + ".png"] =
                abcd[i] == 'm' ? "made" : "skipped";
        EXPECT_EQ(report("r.jsonl"), expected);
    };
    run(args, 1);
    expect("mmmm");
    const auto first = tree(dir / "out");
    run(args, 1);
    expect("ssss");

    save_picture(dir / "in/a.png", 9);  // a's input changes
    std::string manifest =
        file_bytes(dir / "out/.reliefkit-manifest.json");  // b made by another version:
    manifest.insert(manifest.find("\"version\":\"", manifest.find("\"b_height.png\"")) + 11,
                    "0.0.9-");
    put(dir / "out/.reliefkit-manifest.json", manifest);
    put(dir / "out/c_normal.png", "edited");  // c's output changes
    run(args, 1);
    expect("mmms");
    for (const char* same : {"b_height.png", "b_normal.png", "c_normal.png", "d_normal.png"})
        EXPECT_EQ(tree(dir / "out")[same], first.at(same)) << same;
    EXPECT_NE(tree(dir / "out")["a_height.png"], first.at("a_height.png"));

    std::vector<std::string> stronger = args;
    stronger.insert(stronger.end(), {"--strength", "3"});
    run(stronger, 1);
    expect("mmmm");
    // Only the options that shape the maps count, however they are written.
    stronger.insert(stronger.end(), {"-j", "3", "--threads", "1", "--strength", "03"});
    run(stronger, 1);
    expect("ssss");
    fs::remove(dir / "out/d_height.png");
    run(stronger, 1);
    expect("sssm");
}
