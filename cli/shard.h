// --shard K/N: which inputs belong to this process's part of the list.
#pragma once

#include <optional>
#include <string_view>

#include "farm_settings.h"

namespace rkcli {

// "K/N" with 1 <= K <= N, both plain decimal numbers.
std::optional<Shard> parse_shard(std::string_view text);

// The part (1 to count) of an input known by `key`, its path relative to the
// list: the XXH3-64 of the key's bytes modulo count. A file's part depends on
// its own path only, so adding or removing files moves no other file, and
// every machine given the same list and count agrees.
uint32_t shard_of(std::string_view key, uint32_t count);

}  // namespace rkcli
