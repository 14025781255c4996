// Lists, shards, the output key and the manifest on their own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <cmath>
#include <future>
#include <sstream>
#include <thread>

#include "descriptor.h"
#include "farm_batch.h"
#include "number_text.h"
#include "output_key.h"
#include "shard.h"
#include "temp_dir.h"

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

rkcli::ParseResult parse(const Args& args) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    return rkcli::parse_command_line(views);
}

Args key(const Args& args) {
    return rkcli::output_key(parse(args).applied);
}

Args operator+(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

// A file's part follows its path, not its place in the list: adding a file
// moves no other. The parts are disjoint, complete and about even.
TEST(Shard, PartsAreDisjointCompleteEvenAndStayWhenAFileIsAdded) {
    for (const char* bad : {"0/3", "4/3", "3", "1/0", "a/2", "1/2/3", "-1/2", " 1/2", "1/"})
        EXPECT_FALSE(rkcli::parse_shard(bad)) << bad;
    std::vector<rkcli::JobPlan> plans;  // a plan's input is its own key without a gathered one
    for (int i = 0; i < 301; ++i)
        plans.emplace_back().input = std::to_string(i % 7) + "/p" + std::to_string(i) + ".png";
    for (const uint32_t count : {1u, 2u, 3u, 7u, 16u}) {
        std::map<std::string, uint32_t> part[2];  // input -> part, without and with the last file
        for (const size_t n : {300u, 301u}) {
            rkcli::Options o;
            for (o.farm.shard = {1, count}; o.farm.shard.index <= count; ++o.farm.shard.index) {
                const auto mine =
                    rkcli::FarmBatch(o, {}, {}, "").share({plans.begin(), plans.begin() + n});
                EXPECT_NEAR(double(mine.size()), n / double(count), 4 * std::sqrt(n / count));
                for (const rkcli::JobPlan& plan : mine)
                    EXPECT_TRUE(part[n - 300].emplace(plan.input, o.farm.shard.index).second);
            }
            EXPECT_EQ(part[n - 300].size(), n);
        }
        for (const auto& [input, k] : part[0]) EXPECT_EQ(part[1][input], k) << input;
    }
}

TEST(InputList, SplitsListsAndMirrorsListedPathsInsideTheOutputFolder) {
    EXPECT_EQ(rkcli::split_list("\xEF\xBB\xBF" "a b.png\r\n\n./c.jpg\nlast", false),
              (Args{"a b.png", "./c.jpg", "last"}));
    EXPECT_EQ(rkcli::split_list(std::string("x\ny\0\0z\r", 7), true), (Args{"x\ny", "z\r"}));
    const std::pair<const char*, const char*> mirrors[] = {
        {"a/./b.jpg", "a/b.jpg"},   {"../../a/b.jpg", "a/b.jpg"}, {"/srv/a.png", "srv/a.png"},
        {"a/../../b.png", "b.png"}, {"./x.png", "x.png"},         {"a//b/", "a/b"}};
    for (const auto& [listed, mirror] : mirrors)
        EXPECT_EQ(rkcli::mirrored_path(listed).generic_string(), mirror) << listed;
}

TEST(InputList, WalksTreesInByteOrderThenReadsTheLists) {
    TempDir dir;
    const fs::path root = dir / "photos";
    for (const char* sub : {"a", "c/d", "out"}) fs::create_directories(root / sub);
    for (const char* file :
         {"b.png", "a b.png", "a/x.JPG", "a/notes.txt", "c/d/e.tga", "out/o.png"})
        std::ofstream(root / file) << "x";
    fs::create_directory_symlink(root / "a", root / "link");  // not followed
    rkcli::Options o;
    o.farm.recursive = true;
    o.out_dir = (root / "out").string();  // never read
    o.inputs = {root.string() + "/", "z.png"};
    o.farm.lists = {"-"};
    std::istringstream list("../q/r.jpg\r\n" + root.string() + "/c\n");
    const rkcli::GatheredInputs got = rkcli::gather_inputs(o, list);
    std::string seen;
    for (const rkcli::InputItem& item : got.items) seen += item.key + ">" + item.subdir + " ";
    const std::string c = (root / "c").relative_path().string();  // a listed folder is mirrored
    EXPECT_EQ(seen, "a b.png> a/x.JPG>a b.png> c/d/e.tga>c/d z.png> q/r.jpg>q " + c + "/d/e.tga>" +
                        c + "/d ");
    o.inputs = {o.out_dir};
    EXPECT_NE(rkcli::gather_inputs(o, list).error.find("would read the maps it writes"),
              std::string::npos);
    // A NUL inside a line would open "b.png" and name its maps after the rest.
    o.inputs.clear();
    std::istringstream nul(root.string() + "/b.png" + std::string(1, '\0') + "../x\n");
    const rkcli::GatheredInputs refused = rkcli::gather_inputs(o, nul);
    EXPECT_TRUE(refused.items.empty());
    EXPECT_NE(refused.error.find("holds a NUL byte inside a line"), std::string::npos);
    // A listed folder whose maps would mirror it onto itself under the output folder.
    o.out_dir = "/";
    std::istringstream itself(root.string() + "\n");
    EXPECT_NE(rkcli::gather_inputs(o, itself).error.find("would read the maps it writes to"),
              std::string::npos);
}

TEST(OutputKey, KeepsOnlyWhatShapesTheMapsWrittenCanonically) {
    const std::pair<Args, Args> cases[] = {
        {{"--strength", "2", "-j", "4", "-o", "x", "--threads", "1", "-q", "--shard", "1/2"}, {}},
        {{"--strength", "3", "--strength", "04"}, {"--strength", "4"}},
        {{"--invert-y", "--midpoint", ".30"}, {"--midpoint", "0.3", "--invert-y"}},
        {{"--auto-levels", "--no-auto-levels"}, {"--no-auto-levels"}},
        {{"--no-auto-levels", "--auto-levels"}, {}},
        {{"--seamless", "--make-tileable=0.2"}, {"--make-tileable=0.2"}},
        {{"--ao-depth", "16", "--maps", "ao"}, {"--maps", "ao"}},
        {{"--make-tileable"}, {"--make-tileable=0.1"}},
        {{"--light", "-225"}, {"--light", "135"}},
        {{"--light", "135.0:045"}, {"--light", "135:45"}},
        {{"--light", "-0"}, {"--light", "0"}},
        {{"--resize", "0256x0256"}, {"--resize", "256x256"}},
        {{"--depth", "8", "--format", "png"}, {}},
        {{"--format", "exr", "--format", "png", "--depth", "16"}, {"--depth", "16"}},
    };
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(key(args), expected) << testing::PrintToString(args);
}

// The property the manifest rests on, for every option of the table, those
// added later included: whenever an option changes a byte or a name of what
// an input becomes, the key changes too; an option the key leaves out never
// changes a map; and each option that shapes the maps has a probe here
// showing it does (text values are given here), so that a new option cannot
// slip by untested.
TEST(OutputKey, ChangesWheneverAnOptionChangesTheMaps) {
    TempDir dir;
    const std::string p = (dir / "p.png").string(), input = RK_SAMPLES "/bricks.png";
    const std::string out = (dir / "out").string();
    const std::map<std::string_view, std::vector<Args>> text_probes = {
        {"preview", {{"--preview", p}}},
        {"channels", {{"--channels", "bgr"}}},
        {"depth", {{"--depth", "16"}}},
        {"resize", {{"--resize", "9x7"}}},
        {"make-tileable", {{"--make-tileable"}, {"--make-tileable=0.4"}}}};
    auto maps = [&](const rkcli::Options& o) {  // file name -> bytes of what the input becomes
        std::map<std::string, std::string> files;
        fs::remove_all(o.out_dir), fs::remove(p), fs::create_directories(o.out_dir);
        const rkcli::JobResult result = rkcli::run_job(rkcli::plan_jobs(o).at(0), o);
        EXPECT_TRUE(result.ok()) << result.failure;
        for (const fs::path& file : result.written)
            files[file.filename()] = rkcli::xxh3_hex(TempDir::as_text(read_bytes(file)));
        return files;
    };
    std::map<std::string_view, bool> shown;
    // The sample is grey: its modes differ only once a channel is inverted (the
    // de-lit mode gives the luminance map under its even light, and ignores
    // fewer than three invert flags, so the first base takes luminance).
    // The modes that read heights or normals refuse the height options: the
    // bare base lets them show what they change.
    const Args bases[] = {{"--resize", "24x20"},
                          {"--resize", "24x20", "--mode", "luminance"},  // its darkest level not at 0
                          {"--resize", "24x20", "--normal-blur-size", "5", "--clamp-high", "0.8",
                           "--no-auto-levels", "--invert-red", "--preview", p, "--maps",
                           "height,normal,ao,curvature,roughness,albedo", "--pack", "orm"}};
    for (const Args& base : bases) {
        const auto base_maps = maps(parse(base + Args{"-o", out, input}).options);
        const Args base_key = key(base);
        for (const rkcli::OptionGroup& group : rkcli::option_groups()) {
            for (const rkcli::OptionEntry& entry : group.options) {
                const rkcli::ValueShape shape = rkcli::value_shape(entry);
                const std::string name = "--" + std::string(entry.name);
                using Kind = rkcli::ValueShape::Kind;
                std::vector<Args> probes(shape.kind == Kind::none, Args{name});
                for (const std::string_view choice : shape.choices)
                    probes.push_back({name, std::string(choice)});
                for (const double at : {0.0, 0.3, 1.0})  // a curve may do nothing at its ends
                    if (shape.kind == Kind::whole || shape.kind == Kind::real)
                        probes.push_back({name, rkcli::format_number(float(
                                                    shape.low + at * (shape.high - shape.low)))});
                if (shape.kind == Kind::text && rkcli::shapes_outputs(entry)) {
                    ASSERT_TRUE(text_probes.contains(entry.name)) << "give " << name << " a probe";
                    probes = text_probes.at(entry.name);
                }
                for (const Args& probe : probes) {
                    const rkcli::ParseResult parsed =
                        parse(Args{"-o", out} + base + probe + Args{input});
                    if (parsed.action != rkcli::Action::run) continue;  // --help, clamps crossed
                    const bool changed = maps(parsed.options) != base_maps;
                    if (!rkcli::shapes_outputs(entry)) {
                        EXPECT_FALSE(changed)
                            << name << " is left out of the key but changed the maps";
                    } else if (changed) {
                        shown[entry.name] = true;
                        EXPECT_NE(key(base + probe), base_key) << testing::PrintToString(probe);
                    }
                }
                EXPECT_TRUE(&base != &bases[2] || !rkcli::shapes_outputs(entry) ||
                            shown[entry.name])
                    << "no probe of " << name << " changed a map";
            }
        }
    }
}

// Records reach the file by themselves, with no output made after them: a
// batch whose next input takes minutes, then is stopped, keeps them.
TEST(Manifest, PendingRecordsAreWrittenWithoutAnotherRecord) {
    TempDir dir;
    const rkcli::MadeBy made_by{"in.png", rkcli::xxh3_hex("in"), {}, "1.2.3"};
    const fs::path out = dir.write("out.png", "abc");
    rkcli::Manifest writer(dir.path(), std::chrono::milliseconds(20));
    writer.record({{out, *rkcli::file_xxh3(out)}}, made_by);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!rkcli::Manifest(dir.path()).unchanged({out}, made_by) &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(rkcli::Manifest(dir.path()).unchanged({out}, made_by));
}

// A damaged manifest, or a record of the wrong types, is ignored (with a
// warning for the whole file), then replaced; hashes read as xxhsum -H2 prints
// them. (Writers sharing a folder: the program's tests.)
TEST(Manifest, ADamagedOneIsIgnoredThenReplaced) {
    const std::string record =
        R"("xxh3":"06b05ab6733a618578af5f94892f3950","input_xxh3":"x","version":"1.2.3","options":[])";
    const std::pair<std::string, const char*> cases[] = {
        {"{\"outputs\": [", "it is not JSON"},
        {R"({"reliefkit_manifest":"1","outputs":{}})", "not a manifest of this format"},
        {R"({"reliefkit_manifest":1.5,"outputs":{}})", "not a manifest of this format"},
        {R"({"reliefkit_manifest":1,"outputs":[]})", "not a manifest of this format"},
        {R"({"reliefkit_manifest":1,"outputs":{"x":)" + std::string(200000, '[') +
             std::string(200000, ']') + "}}",
         "not a manifest of this format"},  // writing it out again would overflow the stack
        {R"({"reliefkit_manifest":1,"outputs":{"out.png":{"input":5,)" + record + "}}}", ""},
        {R"({"reliefkit_manifest":1,"outputs":{"out.png":{"xxh3":7}}})", ""},
    };
    for (const auto& [text, warning] : cases) {
        TempDir dir;
        dir.write(std::string(rkcli::Manifest::kFileName), text);
        const rkcli::MadeBy made_by{"in.png", rkcli::xxh3_hex("in"), {"--invert"}, "1.2.3"};
        const fs::path out = dir.write("out.png", "abc");
        rkcli::Manifest damaged(dir.path());
        EXPECT_EQ(damaged.warning().empty(), !*warning) << text;
        EXPECT_NE(damaged.warning().find(warning), std::string::npos) << text;
        EXPECT_FALSE(damaged.unchanged({out}, made_by)) << text;
        damaged.record({{out, *rkcli::file_xxh3(out)}}, made_by);
        EXPECT_EQ(damaged.flush(), "") << text;
        EXPECT_TRUE(rkcli::Manifest(dir.path()).unchanged({out}, made_by)) << text;
        EXPECT_EQ(rkcli::file_xxh3(out), "06b05ab6733a618578af5f94892f3950");
    }
}

// A folder (or a FIFO) under the manifest's name is no manifest: neither a
// read that throws nor one that never ends.
TEST(Manifest, AFolderUnderItsNameIsIgnored) {
    TempDir dir;
    fs::create_directory(dir / std::string(rkcli::Manifest::kFileName));
    EXPECT_NE(rkcli::Manifest(dir.path()).warning().find("not a regular file"), std::string::npos);
}

// One that cannot be read (here a link to itself) still holds the records of
// the other processes sharing the folder: it is never replaced by ours alone.
TEST(Manifest, OneThatCannotBeReadIsLeftAsItIs) {
    TempDir dir;
    const fs::path path = dir / std::string(rkcli::Manifest::kFileName);
    fs::create_symlink(path.filename(), path);
    const fs::path out = dir.write("out.png", "abc");
    rkcli::Manifest writer(dir.path());
    EXPECT_NE(writer.warning().find("cannot read"), std::string::npos) << writer.warning();
    writer.record({{out, *rkcli::file_xxh3(out)}}, {"in.png", "x", {}, "1.2.3"});
    EXPECT_NE(writer.flush().find("symbolic links"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(path));
}

// Another process holding the file lock (stopped, or on a slow file system)
// holds back the manifest's write, never the jobs that record outputs.
TEST(Manifest, RecordsDoNotWaitForAnotherHolderOfTheFileLock) {
    TempDir dir;
    const fs::path out = dir.write("out.png", "abc");
    const std::vector<rkcli::FileHash> outputs{{out, *rkcli::file_xxh3(out)}};
    const rkcli::Descriptor other{::open((dir / std::string(rkcli::Manifest::kLockName)).c_str(),
                                         O_RDONLY | O_CREAT | O_CLOEXEC, 0666)};
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    rkcli::Manifest writer(dir.path(), std::chrono::milliseconds(1));
    writer.record(outputs, {"in.png", "x", {}, "1.2.3"});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its write now waits
    auto again = std::async(std::launch::async, [&] { writer.record(outputs, {}); });
    EXPECT_EQ(again.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ::flock(other.get(), LOCK_UN);
}

// The manifest's temporary name is fixed, so a link planted there (or any
// leftover, perhaps another user's) would make its writer overwrite the link's
// target or fail: the leftover is replaced and the target stays.
TEST(Manifest, ALinkAtItsTemporaryNameIsNotWrittenThrough) {
    TempDir dir;
    const fs::path victim = dir.write("victim.txt", "keep");
    fs::create_symlink(victim, dir.path() / (std::string(rkcli::Manifest::kFileName) + ".tmp"));
    const rkcli::MadeBy made_by{"in.png", rkcli::xxh3_hex("in"), {}, "1.2.3"};
    const fs::path out = dir.write("out.png", "abc");
    rkcli::Manifest writer(dir.path());
    writer.record({{out, *rkcli::file_xxh3(out)}}, made_by);
    EXPECT_EQ(writer.flush(), "");
    EXPECT_EQ(rkcli::file_xxh3(victim), rkcli::xxh3_hex("keep"));
}
