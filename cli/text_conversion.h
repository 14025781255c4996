// Text helpers of the command's messages.
#pragma once

#include <string>
#include <string_view>

namespace rkcli {

// Joins strings, views, literals and characters into one string.
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::string joined;
    ((joined += parts), ...);
    return joined;
}

// Each line of text prefixed by indent, with a line break after every line.
std::string indent_lines(std::string_view text, std::string_view indent);

}  // namespace rkcli
