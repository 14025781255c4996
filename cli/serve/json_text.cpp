#include "json_text.h"

#include <cstdio>

namespace rkserve {
namespace {

// Length of the valid UTF-8 sequence at the start of text; 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or
// cut short).
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

}  // namespace

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // Bytes that are not UTF-8 (a file name from another system) would
            // make the whole answer invalid JSON: each becomes U+FFFD.
            const size_t length = utf8_sequence(text.substr(i));
            out += length ? text.substr(i, length) : std::string_view("\\ufffd");
            i += length ? length - 1 : 0;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::string json_array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + item;
    return out + "]";
}

JsonObject& JsonObject::raw(std::string_view key, std::string_view json) {
    if (body_.size() > 1) body_ += ',';
    body_ += json_quote(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject& JsonObject::number(std::string_view key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return raw(key, text);
}

}  // namespace rkserve
