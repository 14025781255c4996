#include "common/utf16.h"

#include <cstdint>

namespace rk {
namespace {

// Length of the valid UTF-8 sequence s starts with; 0 when it starts with none.
size_t utf8_sequence(std::string_view s) noexcept {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    if (lead < 0x80) return 1;
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || s.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((b(i) & 0xC0) != 0x80) return 0;
    }
    // The second byte's range rules out the overlong, surrogate and too-large forms.
    const unsigned char second = b(1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
        return 0;
    }
    return length;
}

}  // namespace

std::u16string_view u16_view(const char16_t* s) noexcept {
    return s ? std::u16string_view(s) : std::u16string_view();
}

std::optional<std::string> utf16_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
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
    return out;
}

std::u16string utf8_to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        uint32_t c = 0xFFFD;
        size_t len = 1;
        size_t need = b0 < 0x80         ? 0
                      : (b0 >> 5) == 6  ? 1
                      : (b0 >> 4) == 14 ? 2
                      : (b0 >> 3) == 30 ? 3
                                        : 9;
        if (need == 0) {
            c = b0;
        } else if (need <= 3 && i + need < s.size()) {
            uint32_t v = b0 & (0x3F >> need);
            bool ok = true;
            for (size_t k = 1; k <= need; ++k) {
                const auto b = static_cast<unsigned char>(s[i + k]);
                if ((b & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                v = (v << 6) | (b & 0x3F);
            }
            static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMin[need] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                c = v;
                len = need + 1;
            }
        }
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

bool is_utf8(std::string_view s) noexcept {
    while (!s.empty()) {
        const size_t length = utf8_sequence(s);
        if (length == 0) return false;
        s.remove_prefix(length);
    }
    return true;
}

std::string utf8_escaped(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        const size_t length = utf8_sequence(s);
        if (length > 0) {
            out.append(s.substr(0, length));
            s.remove_prefix(length);
            continue;
        }
        const auto byte = static_cast<unsigned char>(s[0]);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
        s.remove_prefix(1);
    }
    return out;
}

}  // namespace rk
