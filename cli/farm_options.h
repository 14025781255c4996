// The options of lists, shards, incremental rebuilds and the machine report,
// one group of the option table.
#pragma once

#include "option_table.h"

namespace rkcli {

extern const OptionEntry kFarmOptions[6];

// Whether option is one of kFarmOptions: none of them shapes a map.
bool is_farm_option(const OptionEntry& option);

// What these options cannot mean together with the others: a usage error
// text, or empty.
std::string farm_usage_error(const Options& options);

}  // namespace rkcli
