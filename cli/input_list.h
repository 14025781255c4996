// Where the inputs come from: the command line (wildcards expanded), the lists
// of --from-list, and with --recursive the image files in folders' trees.
#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace rkcli {

struct InputItem {
    std::string path;    // as the job opens it
    std::string key;     // its path relative to its list or folder: what --shard hashes
    std::string subdir;  // the folder under the output folder for its maps; empty: none
};

// The paths of a list: one per line (a carriage return before the line break
// and a UTF-8 byte-order mark at the start are dropped, for lists written on
// Windows) or each ended by NUL; empty
// entries are skipped. Nothing else is special: spaces, quotes and wildcards
// are part of the name.
std::vector<std::string> split_list(std::string_view text, bool null_separated);

// Where a listed path's maps go under the output folder: the path in lexical
// normal form without its root and leading "..", so that nothing listed can
// place a map outside the output folder (as tar treats member names).
std::filesystem::path mirrored_path(std::string_view listed);

// Whether a file name has one of the extensions of the formats the library
// reads (.png .jpg .jpeg .jpe .jxr .wdp .hdp .dds .tga, in any case).
bool has_image_extension(const std::filesystem::path& name);

struct GatheredInputs {
    std::vector<InputItem> items;
    std::string error;  // why the inputs could not all be gathered; nothing is done then
};

// Every input in order: the command line's (wildcards expanded), then each
// list's. A command-line file keeps today's flat naming; a listed file's maps
// mirror its listed path. With --recursive a folder, named on the command line
// or listed, stands for the image files of its tree in byte order of their
// paths (symbolic links to folders not followed, the output folder left out),
// mirrored relative to that folder (and under its own mirrored path when
// listed). A tree that cannot be read fully is an error, so that every
// machine of a farm sees the same list. `standard_input` serves the list "-".
GatheredInputs gather_inputs(const Options& options, std::istream& standard_input);

// Makes items the inputs of options: their paths and their folders under the
// output folder.
void use_inputs(Options& options, const std::vector<InputItem>& items);

}  // namespace rkcli
