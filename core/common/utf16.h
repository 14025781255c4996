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

}  // namespace rk
