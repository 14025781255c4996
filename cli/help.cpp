// --help and the short usage reminder, generated from the option table.
#include <string>

#include "option_table.h"
#include "options.h"
#include "reliefkit_version.h"

namespace rkcli {
namespace {

constexpr size_t kHelpColumn = 28;
constexpr size_t kLineWidth = 80;

// Fills words into lines of at most kLineWidth columns starting at kHelpColumn.
void append_wrapped(std::string& out, std::string_view text, size_t column) {
    size_t at = column;
    while (!text.empty()) {
        const size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        if (at > kHelpColumn && at + 1 + word.size() > kLineWidth) {
            out += '\n';
            out.append(kHelpColumn, ' ');
            at = kHelpColumn;
        } else if (at > kHelpColumn) {
            out += ' ';
            ++at;
        }
        out += word;
        at += word.size();
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    }
    out += '\n';
}

std::string option_heading(const OptionEntry& option) {
    std::string heading = option.short_name ? std::string("  -") + option.short_name + ", " : "      ";
    heading += "--";
    heading += option.name;
    if (!option.value.empty()) {
        if (!option.value.starts_with('[')) heading += ' ';
        heading += option.value;
    }
    return heading;
}

}  // namespace

std::string usage_text() {
    return "Usage: reliefkit [OPTION]... INPUT...\n"
           "Try 'reliefkit --help' for the options.\n";
}

std::string help_text() {
    const Options defaults;
    std::string out =
        "Usage: reliefkit [OPTION]... INPUT...\n"
        "Turns photographs into relief textures. For each INPUT (PNG, JPEG, JPEG XR,\n"
        "DDS or TGA) writes STEM_height.png, a grey height map, and STEM_normal.png, a\n"
        "tangent-space normal map, into the output directory. The defaults give a\n"
        "useful relief from an ordinary photograph without any option.\n"
        "\n"
        "The normal map holds a unit normal (x, y, z) as red = 0.5 + 0.5 x and\n"
        "green = 0.5 + 0.5 y; blue holds z itself (0 to 1, 1 for a flat surface).\n"
        "--normal-blur-size then reads red, green, blue and alpha as 2v - 1, scales the\n"
        "four to unit length and stores 0.5 + 0.5 of red, green and blue (alpha stays 1):\n"
        "a flat surface's blue becomes 0.854. The map of --gltf and of the presets\n"
        "unity, godot and gltf, or a blurred one saved as DDS, holds the unit normal as\n"
        "0.5 + 0.5 of x, y and z.\n";
    for (const OptionGroup& group : option_groups()) {
        out += '\n';
        out += group.title;
        out += ":\n";
        for (const OptionEntry& option : group.options) {
            std::string heading = option_heading(option);
            std::string help(option.help);
            if (option.default_text) help += " Default: " + option.default_text(defaults) + ".";
            out += heading;
            if (heading.size() + 2 > kHelpColumn) {
                out += '\n';
                out.append(kHelpColumn, ' ');
            } else {
                out.append(kHelpColumn - heading.size(), ' ');
            }
            append_wrapped(out, help, kHelpColumn);
        }
    }
    out +=
        "\n"
        "Inputs may be shell globs; a quoted pattern is expanded as well. An input file\n"
        "is never overwritten: an input whose output would replace one fails.\n"
        "Written files are listed on standard output; progress and failures go to\n"
        "standard error.\n"
        "\n"
        "reliefkit serve [PHOTO] opens a page to tune these options by eye in a browser\n"
        "(see reliefkit serve --help).\n"
        "\n"
        "Exit status: 0 all inputs done, 1 some inputs failed (or the --report or the\n"
        "manifest could not be written), 2 usage error, 128 + the signal's number when\n"
        "a signal stopped the run (130 Ctrl-C, 143 SIGTERM).\n"
        "reliefkit " RELIEFKIT_VERSION_STRING "\n";
    return out;
}

}  // namespace rkcli
