#include "json_text.h"

#include <cmath>
#include <cstdio>

#include "text_conversion.h"

namespace rkserve {

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // Bytes that are not UTF-8 (a file name from another system) would
            // make the whole answer invalid JSON: each becomes U+FFFD.
            const size_t length = rkcli::utf8_sequence(text.substr(i));
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
    // Whole numbers whole (a byte limit of 4 GiB is 4294967296, not a float's
    // nine digits of it); others as floats.
    if (std::fabs(value) < 0x1p53 && value == std::trunc(value)) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.9g", value);
    }
    return raw(key, text);
}

}  // namespace rkserve
