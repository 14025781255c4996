#include "farm_options.h"

#include <iterator>

#include "shard.h"
#include "text_conversion.h"

namespace rkcli {

using Outcome = OptionOutcome;

const OptionEntry kFarmOptions[6] = {
    {"from-list", 0, "FILE",
     "Also process the paths listed in FILE, one per line (- reads standard input); may be "
     "given more than once. The maps mirror the listed paths under --out-dir (a/wall.jpg "
     "gives a/wall_height.png there; a leading / or ../ is dropped).",
     nullptr,
     [](Options& o, std::string_view v) {
         if (v.empty()) return Outcome{Action::run, "needs a file name (- for standard input)"};
         o.farm.lists.emplace_back(v);
         return Outcome{};
     }},
    {"null", 0, "",
     "The lists' paths are each ended by a NUL byte instead of a line break, as find -print0 "
     "writes them.",
     nullptr,
     [](Options& o, std::string_view) {
         o.farm.null_separated = true;
         return Outcome{};
     }},
    {"recursive", 'r', "",
     "A folder among the inputs or in a list stands for the image files of its tree (.png, "
     ".jpg, .jpeg, .jpe, .jxr, .wdp, .hdp, .dds, .tga in any case), in byte order of their "
     "paths; the maps mirror the tree under --out-dir, so two wall.jpg in different folders "
     "never overwrite each other. Links to folders are not followed, and the output folder is "
     "never read.",
     nullptr,
     [](Options& o, std::string_view) {
         o.farm.recursive = true;
         return Outcome{};
     }},
    {"shard", 0, "K/N",
     "Process only the K-th of N parts of the inputs (1 <= K <= N), for a farm that runs the "
     "same command on N machines. A file's part follows from a hash of its path relative to "
     "its list or folder: the N parts are disjoint, together hold every input once, and "
     "adding files moves no other file to another part.",
     [](const Options& d) {
         return concat(std::to_string(d.farm.shard.index), "/", std::to_string(d.farm.shard.count));
     },
     [](Options& o, std::string_view v) {
         const auto shard = parse_shard(v);
         if (!shard)
             return Outcome{Action::run, concat("takes K/N with 1 <= K <= N, not \"", v, "\"")};
         o.farm.shard = *shard;
         return Outcome{};
     }},
    {"skip-unchanged", 0, "",
     "Remake only what changed: .reliefkit-manifest.json in the output folder records for "
     "each map the XXH3-128 hash of its input, the options that shape it and the library "
     "version; an input whose records all match and whose maps still hold the bytes recorded "
     "is skipped. Processes may share the output folder.",
     nullptr,
     [](Options& o, std::string_view) {
         o.farm.skip_unchanged = true;
         return Outcome{};
     }},
    {"report", 0, "FILE",
     "Write one JSON object per input to FILE as it finishes (JSON Lines; - is standard "
     "output, which then carries nothing else): input, status (made, skipped or failed), "
     "outputs (path, xxh3), seconds and error (the whole message, or null). FILE may not "
     "be an input, a list, a file the run writes or the manifest.",
     nullptr,
     [](Options& o, std::string_view v) {
         if (v.empty()) return Outcome{Action::run, "needs a file name (- for standard output)"};
         o.farm.report = std::string(v);
         return Outcome{};
     }},
};

bool is_farm_option(const OptionEntry& option) {
    return &option >= std::begin(kFarmOptions) && &option < std::end(kFarmOptions);
}

}  // namespace rkcli

namespace rkcli {

std::string farm_usage_error(const Options& options) {
    if (options.farm.null_separated && options.farm.lists.empty()) {
        return "--null tells how the lists of --from-list are separated; give --from-list too";
    }
    return {};
}

}  // namespace rkcli
