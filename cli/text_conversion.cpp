#include "text_conversion.h"

#include <algorithm>

namespace rkcli {

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

size_t utf8_sequence(std::string_view text) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return 1;
    const size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                          : lead >= 0xe0 && lead <= 0xef ? 3
                          : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                         : 0;
    if (length == 0 || text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((b(i) & 0xc0) != 0x80) return 0;
    }
    // The second byte's range rules out the overlong, surrogate and too-large forms.
    const unsigned char second = b(1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f)) {
        return 0;
    }
    return length;
}

std::string utf8_escaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t length = utf8_sequence(text);
        if (length > 0) {
            out.append(text.substr(0, length));
        } else {
            const auto b = static_cast<unsigned char>(text[0]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
        text.remove_prefix(std::max<size_t>(length, 1));
    }
    return out;
}

std::string printable(std::string_view text, bool keep_line_breaks) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text[0]);
        size_t length = utf8_sequence(text);
        // U+0080 to U+009F are control characters as well (CSI, OSC, ...).
        const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0;
        if (length > 1 && !c1) {
            out.append(text.substr(0, length));
        } else if (length == 1 && c >= 0x20 && c != 0x7F) {
            out += text[0];
        } else if (c == '\n' && keep_line_breaks) {
            out += '\n';
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else {
            length = c1 ? 2 : 1;
            for (size_t i = 0; i < length; ++i) {
                const auto b = static_cast<unsigned char>(text[i]);
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            }
        }
        text.remove_prefix(std::max<size_t>(length, 1));
    }
    return out;
}

std::string with_printable_name(std::string_view message, std::string_view name) {
    std::string out;
    const std::string shown = printable(name);
    for (size_t at; !name.empty() && (at = message.find(name)) != std::string_view::npos;) {
        out.append(message.substr(0, at));
        out += shown;
        message.remove_prefix(at + name.size());
    }
    out.append(message);
    return out;
}

}  // namespace rkcli
