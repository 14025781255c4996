// The interface's UTF-16 paths and messages, to and from the UTF-8 of file
// names and the diagnostics sink.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rk {

// Code units up to the terminator; null counts as empty.
std::u16string_view u16_view(const char16_t* s) noexcept;

// UTF-8 form of s; nothing when s holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view s);

// UTF-16 form of UTF-8 text; invalid bytes become U+FFFD.
std::u16string utf8_to_utf16(std::string_view s);

// Whether s is all valid UTF-8 (no overlong form, surrogate or cut sequence).
bool is_utf8(std::string_view s) noexcept;

// s with each byte that is not part of valid UTF-8 written as \xHH (lower-case
// hex), as the command prints such names: a file name is any bytes, and the
// texts that carry one are promised UTF-8.
std::string utf8_escaped(std::string_view s);

}  // namespace rk
