#include "text_conversion.h"

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

}  // namespace rkcli
