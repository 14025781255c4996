#include "json_text.h"

#include <cstdio>

namespace rkserve {

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
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
