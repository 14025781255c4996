// Just enough JSON writing for the server's answers: quoted strings and a
// builder of flat objects.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rkserve {

// text as a JSON string literal, quotes included; each byte that is not part of
// valid UTF-8 becomes U+FFFD, so that the answer is always valid JSON.
std::string json_quote(std::string_view text);

std::string json_array(const std::vector<std::string>& quoted_or_raw_items);

// Members are added in order; values are raw JSON (use json_quote for text).
class JsonObject {
  public:
    JsonObject& raw(std::string_view key, std::string_view json);
    JsonObject& text(std::string_view key, std::string_view value) {
        return raw(key, json_quote(value));
    }
    JsonObject& number(std::string_view key, double value);
    JsonObject& boolean(std::string_view key, bool value) {
        return raw(key, value ? "true" : "false");
    }
    std::string str() const { return body_ + "}"; }

  private:
    std::string body_ = "{";
};

}  // namespace rkserve
