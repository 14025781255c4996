// Paths as the UTF-16 code units the library takes. The benchmark makes its own
// files under an ASCII directory, so anything else is refused rather than guessed.
#pragma once

#include <stdexcept>
#include <string>

namespace rkbench {

inline std::u16string utf16_path(const std::string& path) {
    std::u16string wide;
    for (const char c : path) {
        if (static_cast<unsigned char>(c) >= 0x80)
            throw std::runtime_error("non-ASCII path " + path);
        wide += static_cast<char16_t>(c);
    }
    return wide;
}

}  // namespace rkbench
