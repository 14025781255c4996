// Strict number parsing for option values, and short number formatting for help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rkcli {

// Decimal digits only, no sign or spaces, fitting in 32 bits.
std::optional<uint32_t> parse_uint(std::string_view text);

// A finite decimal number (an optional leading minus, digits, point, exponent);
// "nan", "inf" and trailing characters are refused.
std::optional<float> parse_float(std::string_view text);

// Shortest text that reads back as the same float ("0.05", "1", "0.5").
std::string format_number(float value);

}  // namespace rkcli
