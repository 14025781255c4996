#include "input_list.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <utility>

#include "naming.h"

namespace rkcli {
namespace fs = std::filesystem;

namespace {

class Gatherer {
  public:
    Gatherer(const Options& options, std::istream& standard_input)
        : options_(options), stdin_(standard_input), out_dir_(file_id(options.out_dir)) {}

    GatheredInputs run() {
        for (const std::string& arg : expand_inputs(options_.inputs)) {
            if (!walked(arg, {})) add(arg, fs::path(arg).lexically_normal().generic_string(), {});
        }
        for (const std::string& list : options_.farm.lists) {
            std::string text;
            if (!read_list(list, text)) break;
            for (std::string& path : split_list(text, options_.farm.null_separated)) {
                // The system would read such a name only up to its NUL: another
                // file than the one listed, its maps named after the rest.
                if (path.find('\0') != std::string::npos) {
                    fail("the list " + list +
                         " holds a NUL byte inside a line; give --null for a list whose "
                         "paths are each ended by one");
                    break;
                }
                const fs::path mirror = mirrored_path(path);
                if (!walked(path, mirror)) {
                    add(std::move(path), mirror.generic_string(),
                        mirror.parent_path().generic_string());
                }
            }
        }
        if (!result_.error.empty()) result_.items.clear();
        return std::move(result_);
    }

  private:
    void add(std::string path, std::string key, std::string subdir) {
        result_.items.push_back({std::move(path), std::move(key), std::move(subdir)});
    }

    bool fail(std::string why) {
        if (result_.error.empty()) result_.error = std::move(why);
        return false;
    }

    bool read_list(const std::string& list, std::string& text) {
        if (list == "-") {
            text.assign(std::istreambuf_iterator<char>(stdin_), {});
            return !stdin_.bad() || fail("cannot read the list on standard input");
        }
        std::error_code ec;
        if (fs::is_directory(list, ec)) return fail("cannot read the list " + list + ": a folder");
        std::ifstream in(list, std::ios::binary);
        if (!in) {
            return fail("cannot read the list " + list + ": " +
                        std::generic_category().message(errno));
        }
        text.assign(std::istreambuf_iterator<char>(in), {});
        return !in.bad() || fail("cannot read the list " + list);
    }

    // With --recursive, a folder's image files under `prefix`; answers whether
    // path was a folder taken so.
    bool walked(const std::string& path, const fs::path& prefix) {
        std::error_code ec;
        if (!options_.farm.recursive || !fs::is_directory(path, ec)) return false;
        if (out_dir_ && file_id(path) == out_dir_) {
            fail("--recursive " + path +
                 " would read the maps it writes: give --out-dir a folder "
                 "outside it");
            return true;
        }
        // A listed folder's maps go to its mirrored path under the output
        // folder, which can lead back into the folder itself (photos listed,
        // the output folder "."): the next run would take them for photographs.
        // An output folder inside the tree is left out of the walk instead.
        const fs::path destination = fs::path(options_.out_dir) / prefix;
        if (!prefix.empty() && lies_within(destination, path) &&
            !lies_within(options_.out_dir, path)) {
            fail("--recursive " + path + " would read the maps it writes to " +
                 destination.string() + ": give --out-dir a folder outside it");
            return true;
        }
        std::vector<InputItem> found;
        const fs::path root(path);
        fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
        for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            if (entry.is_symlink(ec) || !entry.is_directory(ec)) {
                if (entry.is_regular_file(ec) && has_image_extension(entry.path())) {
                    const fs::path rel = prefix / entry.path().lexically_relative(root);
                    found.push_back({entry.path().string(), rel.generic_string(),
                                     rel.parent_path().generic_string()});
                }
            } else if (out_dir_ && file_id(entry.path()) == out_dir_) {
                it.disable_recursion_pending();
            }
            ec.clear();  // a file that vanished between listing and testing is no error
        }
        if (ec) {
            fail("cannot read the folder " + path + " to the end: " + ec.message());
            return true;
        }
        std::sort(found.begin(), found.end(),
                  [](const InputItem& a, const InputItem& b) { return a.key < b.key; });
        std::move(found.begin(), found.end(), std::back_inserter(result_.items));
        return true;
    }

    const Options& options_;
    std::istream& stdin_;
    const std::optional<FileId> out_dir_;
    GatheredInputs result_;
};

}  // namespace

std::vector<std::string> split_list(std::string_view text, bool null_separated) {
    // Some editors on Windows begin a UTF-8 text with U+FEFF, no part of the first path.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (!null_separated && text.starts_with(kByteOrderMark))
        text.remove_prefix(kByteOrderMark.size());
    const char end = null_separated ? '\0' : '\n';
    std::vector<std::string> paths;
    while (!text.empty()) {
        const size_t at = std::min(text.find(end), text.size());
        std::string_view path = text.substr(0, at);
        text.remove_prefix(std::min(at + 1, text.size()));
        if (!null_separated && path.ends_with('\r')) path.remove_suffix(1);
        if (!path.empty()) paths.emplace_back(path);
    }
    return paths;
}

fs::path mirrored_path(std::string_view listed) {
    fs::path mirror;
    bool leading = true;
    for (const fs::path& part : fs::path(listed).lexically_normal().relative_path()) {
        if (part.empty() || part == "." || (leading && part == "..")) continue;
        leading = false;
        mirror /= part;
    }
    return mirror;
}

bool has_image_extension(const fs::path& name) {
    static constexpr std::array<std::string_view, 9> kExtensions = {
        ".png", ".jpg", ".jpeg", ".jpe", ".jxr", ".wdp", ".hdp", ".dds", ".tga"};
    std::string ext = name.extension().string();
    for (char& c : ext) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
    return std::find(kExtensions.begin(), kExtensions.end(), ext) != kExtensions.end();
}

GatheredInputs gather_inputs(const Options& options, std::istream& standard_input) {
    return Gatherer(options, standard_input).run();
}

void use_inputs(Options& options, const std::vector<InputItem>& items) {
    options.inputs.clear();
    options.farm.out_subdirs.clear();
    for (const InputItem& item : items) {
        options.inputs.push_back(item.path);
        options.farm.out_subdirs.push_back(item.subdir);
    }
}

}  // namespace rkcli
