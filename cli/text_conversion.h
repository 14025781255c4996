// Text conversions between the command line (UTF-8 bytes) and the library's
// UTF-16 paths and messages.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rkcli {

// Joins strings, views, literals and characters into one string.
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::string joined;
    ((joined += parts), ...);
    return joined;
}

// UTF-16 form of a UTF-8 path; nothing when the bytes are not valid UTF-8, since
// such a name could not be handed to the library unchanged.
std::optional<std::u16string> path_to_utf16(std::string_view utf8);

// UTF-8 form of a library message; unpaired surrogates become U+FFFD.
std::string message_to_utf8(std::u16string_view utf16);

// The diagnostics of one call as lines. The library sends texts without line
// breaks, some as a prefix ("DDS image loader: ") and its reason in two texts:
// a text ending in ": " or a line break runs on into the next, others end a line.
std::string join_diagnostics(const std::vector<std::string>& texts);

// Each line of text prefixed by indent, with a line break after every line.
std::string indent_lines(std::string_view text, std::string_view indent);

}  // namespace rkcli
