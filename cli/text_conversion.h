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

// Length of the valid UTF-8 sequence at the start of text; 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or
// cut short).
size_t utf8_sequence(std::string_view text);

// text with each byte that is not part of valid UTF-8 written as \xHH: the
// form in which the library's messages carry a file name, so the name is found
// there by it. printable() of it is printable() of text.
std::string utf8_escaped(std::string_view text);

// Each line of text prefixed by indent, with a line break after every line.
std::string indent_lines(std::string_view text, std::string_view indent);

// Text for a person's terminal: a file name is any bytes, and its control
// characters would otherwise drive the terminal (an escape sequence) or split
// one name over two lines. Control characters (line breaks too, unless
// keep_line_breaks) and bytes that are not UTF-8 are written as \n, \t, \r or
// \xHH; everything else is left as it is. --report carries the names as they are
// (its error, a message, has them escaped).
std::string printable(std::string_view text, bool keep_line_breaks = false);

// message with every occurrence of name printed as printable(name): a message
// of several lines that quotes a file name (the library's reasons say which
// file they could not read or write) keeps its own line breaks, not the name's.
std::string with_printable_name(std::string_view message, std::string_view name);

}  // namespace rkcli
