#include "number_text.h"

#include <charconv>
#include <cmath>

namespace rkcli {

std::optional<uint32_t> parse_uint(std::string_view text) {
    uint32_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<float> parse_float(std::string_view text) {
    float value = 0.0f;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (!text.empty() && ec == std::errc::result_out_of_range && end == text.data() + text.size()) {
        // Out of a float's range may be below its smallest: 1e-50 is a number
        // near 0, within every option's range that holds 0, not too large.
        double wide = 0.0;
        const auto [wide_end, wide_ec] = std::from_chars(text.data(), end, wide);
        if (wide_ec == std::errc() && wide_end == end && std::fabs(wide) < 1.0) {
            return static_cast<float>(wide);
        }
        return std::nullopt;
    }
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::string format_number(float value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("?");
}

}  // namespace rkcli
