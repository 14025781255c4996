// The options that shape the files an input becomes, written out so that
// runs can be compared: the manifest of --skip-unchanged records them with
// every output.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "option_table.h"

namespace rkcli {

// False for the options that change where files go or how the work runs but
// never a byte of a map (--out-dir, --jobs, --threads, ...); every other
// option, including any added later, shapes the outputs.
bool shapes_outputs(const OptionEntry& option);

// The shaping options among `applied` (as parse_command_line records them) as
// a short command line that gives the same settings: an option overridden
// later or left at its default is dropped, a value is written as the table
// writes it where that reads back the same, and the rest stand in table
// order unless their order matters. The result is checked to rebuild exactly
// the settings the full list gives, so equal keys always mean equal settings.
std::vector<std::string> output_key(
    const std::vector<std::pair<std::string_view, std::string>>& applied);

}  // namespace rkcli
