// Content hashes of files for the manifest and the report: XXH3-128, the
// hash of libxxhash.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace rkcli {

// A file the command wrote, with the hash of its bytes.
struct FileHash {
    std::filesystem::path path;
    std::string xxh3;

    bool operator==(const FileHash&) const = default;
};

// XXH3-128 of bytes as 32 lowercase hexadecimal digits, in the canonical
// (big-endian) order that xxhsum -H2 and Python's xxhash print.
std::string xxh3_hex(std::string_view bytes);

// The same of a regular file's content; nothing when it is not a regular file
// or cannot be read to the end. A FIFO is never opened for reading, so it
// cannot block.
std::optional<std::string> file_xxh3(const std::filesystem::path& path);

}  // namespace rkcli
