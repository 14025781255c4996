#include "naming.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "manifest.h"
#include "map_files.h"
#include "text_conversion.h"

namespace rkcli {
namespace fs = std::filesystem;

namespace {

bool has_wildcard(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

}  // namespace

std::optional<FileId> file_id(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

std::string place_key(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    if (ec) return path.lexically_normal().string();
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    return (ec ? absolute.lexically_normal() : canonical).string();
}

bool lies_within(const fs::path& path, const fs::path& folder) {
    auto key = [](const fs::path& p) {
        fs::path place(place_key(p));
        return place.has_filename() || !place.has_relative_path() ? place : place.parent_path();
    };
    const fs::path inside = key(path).lexically_relative(key(folder));
    return !inside.empty() && *inside.begin() != "..";
}

std::vector<fs::path> JobPlan::outputs() const {
    std::vector<fs::path> all;
    for (const fs::path* out : {&height_out, &normal_out, &preview_out}) {
        if (!out->empty()) all.push_back(*out);
    }
    for (const fs::path& out : map_out) {
        if (!out.empty()) all.push_back(out);
    }
    if (!gltf_out.empty()) all.push_back(gltf_out);
    return all;
}

std::vector<std::string> expand_inputs(const std::vector<std::string>& args) {
    std::vector<std::string> inputs;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!has_wildcard(arg) || fs::exists(fs::symlink_status(arg, ec))) {
            inputs.push_back(arg);
            continue;
        }
        glob_t found{};
        if (::glob(arg.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) inputs.emplace_back(found.gl_pathv[i]);
        } else {
            inputs.push_back(arg);
        }
        ::globfree(&found);
    }
    return inputs;
}

std::string output_stem(const fs::path& input, bool from_height) {
    std::string stem = input.stem().string();
    constexpr std::string_view kHeightSuffix = "_height";
    if (from_height && stem.size() > kHeightSuffix.size() && stem.ends_with(kHeightSuffix)) {
        stem.resize(stem.size() - kHeightSuffix.size());
    }
    return stem;
}

std::vector<JobPlan> plan_jobs(const Options& options) {
    // Inputs are known both by identity (links, hard links) and by place (a
    // missing input must not be created by another input's output either).
    std::set<FileId> input_files;
    std::set<std::string> input_places;
    for (const std::string& input : options.inputs) {
        if (auto id = file_id(input)) input_files.insert(*id);
        input_places.insert(place_key(input));
    }

    std::vector<JobPlan> plans;
    std::set<std::string> seen_inputs;
    std::map<std::string, std::string> claimed;  // output place -> input writing it
    const std::vector<std::string>& subdirs = options.farm.out_subdirs;
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        const std::string& input = options.inputs[i];
        if (!seen_inputs.insert(place_key(input)).second) continue;
        // A listed or walked tree keeps its shape under the output folder.
        const fs::path dir = i < subdirs.size() && !subdirs[i].empty()
                                 ? fs::path(options.out_dir) / subdirs[i]
                                 : fs::path(options.out_dir);

        JobPlan plan;
        plan.input = input;
        std::string stem = output_stem(input, options.from_height);
        constexpr std::string_view kNormalSuffix = "_normal";
        if (options.from_normal && stem.size() > kNormalSuffix.size() &&
            stem.ends_with(kNormalSuffix)) {
            stem.resize(stem.size() - kNormalSuffix.size());
        }
        if (stem.empty()) {
            plan.refusal = "it names no file";
            plans.push_back(std::move(plan));
            continue;
        }
        if (options.writes_height())
            plan.height_out = dir / (stem + map_file_suffix(options, kMapHeight));
        if (options.writes_normal())
            plan.normal_out = dir / (stem + map_file_suffix(options, kMapNormal));
        for (MapKind kind : {kMapAo, kMapCurvature, kMapRoughness, kMapAlbedo, kMapPacked}) {
            if (options.writes(kind))
                plan.map_out[kind] = dir / (stem + map_file_suffix(options, kind));
        }
        if (options.material.gltf && !options.height_only) plan.gltf_out = dir / (stem + ".gltf");
        if (options.preview) plan.preview_out = *options.preview;

        std::vector<std::string> keys;
        for (const fs::path& path : plan.outputs()) {
            const fs::path* out = &path;
            if (!plan.refusal.empty()) continue;
            const auto id = file_id(*out);
            const std::string key = place_key(*out);
            // Names escaped here: the refusal is told as part of a message
            // that keeps its own line breaks.
            const std::string shown = printable(out->string());
            if ((id && input_files.contains(*id)) || input_places.contains(key)) {
                plan.refusal = "its output " + shown + " would overwrite an input file";
            } else if (auto it = claimed.find(key); it != claimed.end()) {
                plan.refusal =
                    "its output " + shown + " is also written for " + printable(it->second);
            } else if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
                plan.refusal = "it would write " + shown + " twice";
            }
            keys.push_back(key);
        }
        if (plan.refusal.empty()) {
            for (const std::string& key : keys) claimed.emplace(key, input);
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

std::string report_place_error(const Options& options, const std::vector<JobPlan>& plans) {
    if (!options.farm.report || *options.farm.report == "-" || options.photometric) return {};
    // Every file the run reads or writes, with what it is to the run.
    std::vector<std::pair<fs::path, std::string_view>> taken;
    for (const std::string& input : options.inputs) taken.emplace_back(input, "the input");
    for (const std::string& list : options.farm.lists) {
        if (list != "-") taken.emplace_back(list, "the list");
    }
    for (const JobPlan& plan : plans) {
        if (!plan.refusal.empty()) continue;
        for (const fs::path& out : plan.outputs()) taken.emplace_back(out, "the output");
    }
    if (options.preview) taken.emplace_back(*options.preview, "the preview");
    if (options.farm.skip_unchanged) {
        for (const std::string_view name :
             {Manifest::kFileName, Manifest::kTempName, Manifest::kLockName}) {
            taken.emplace_back(fs::path(options.out_dir) / name, "the manifest's file");
        }
    }
    const fs::path report(*options.farm.report);
    const std::optional<FileId> report_id = file_id(report);
    const std::string report_place = place_key(report);
    for (const auto& [file, what] : taken) {
        if ((report_id && file_id(file) == report_id) || place_key(file) == report_place) {
            return "--report " + report.string() + " is " + std::string(what) + " " +
                   file.string() + ": name another file for the report";
        }
    }
    return {};
}

}  // namespace rkcli
