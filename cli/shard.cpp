#include "shard.h"

#include <xxhash.h>

#include "number_text.h"

namespace rkcli {

std::optional<Shard> parse_shard(std::string_view text) {
    const size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const auto index = parse_uint(text.substr(0, slash));
    const auto count = parse_uint(text.substr(slash + 1));
    if (!index || !count || *index < 1 || *index > *count) return std::nullopt;
    return Shard{*index, *count};
}

uint32_t shard_of(std::string_view key, uint32_t count) {
    // The hash is a fixed, documented function (seed 0), so a shard is the same
    // on every machine and in every version; modulo bias at any realistic
    // count is far below one file.
    return static_cast<uint32_t>(XXH3_64bits(key.data(), key.size()) % count) + 1;
}

}  // namespace rkcli
