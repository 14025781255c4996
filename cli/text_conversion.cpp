#include "text_conversion.h"

#include <cstdint>

namespace rkcli {
namespace {

void append_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<std::u16string> path_to_utf16(std::string_view s) {
    static constexpr uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const size_t tail = lead < 0x80           ? 0
                            : (lead >> 5) == 0x06 ? 1
                            : (lead >> 4) == 0x0E ? 2
                            : (lead >> 3) == 0x1E ? 3
                                                  : 4;
        if (tail > 3 || tail >= s.size() - i) return std::nullopt;
        uint32_t c = lead & (0x7F >> tail);
        for (size_t k = 1; k <= tail; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (b & 0x3F);
        }
        if (c < kMinimum[tail] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return std::nullopt;
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += tail + 1;
    }
    return out;
}

std::string message_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low_follows = i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
        if (high && low_follows) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::string join_diagnostics(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        if (!joined.empty() && !joined.ends_with(": ") && !joined.ends_with('\n')) joined += '\n';
        joined += text;
    }
    return joined;
}

std::string indent_lines(std::string_view text, std::string_view indent) {
    std::string out;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        out += indent;
        out += text.substr(0, end);
        out += '\n';
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return out;
}

}  // namespace rkcli
