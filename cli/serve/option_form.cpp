#include "option_form.h"

#include <algorithm>
#include <array>
#include <optional>

#include "farm_options.h"
#include "json_text.h"
#include "number_text.h"
#include "option_table.h"
#include "options.h"
#include "text_conversion.h"

namespace rkserve {
namespace {

using rkcli::OptionEntry;
using rkcli::ValueShape;

// Options about which files are written or how the process runs: they change
// nothing in the maps the page shows, so the page does not offer them.
constexpr std::array<std::string_view, 20> kNotOnThePage = {
    "out-dir", "preview", "preview-tiles", "jobs", "threads", "quiet", "help", "version",
    "verbose",
    // The page always makes its maps from one photograph.
    "height-only", "from-height", "from-normal", "photometric", "elevation",
    // Which maps are written and as which files: the page's Download decides.
    "maps", "format", "pack", "gltf", "preset",
    // Goes only into the packed file, which the page does not make.
    "metallic"};

bool offered(const OptionEntry& option) {
    // Nor are the options of lists, shards and rebuilds, which concern batches.
    return std::find(kNotOnThePage.begin(), kNotOnThePage.end(), option.name) ==
               kNotOnThePage.end() &&
           !rkcli::is_farm_option(option);
}

const OptionEntry* find_entry(std::string_view name) {
    for (const rkcli::OptionGroup& group : rkcli::option_groups()) {
        for (const OptionEntry& option : group.options) {
            if (option.name == name) return &option;
        }
    }
    return nullptr;
}

// The switch that undoes a default-on switch (auto-levels: no-auto-levels).
const OptionEntry* negation_of(const OptionEntry& option) {
    if (!option.value.empty()) return nullptr;
    const OptionEntry* negation = find_entry(rkcli::concat("no-", option.name));
    return negation && negation->value.empty() ? negation : nullptr;
}

// A "no-x" switch is shown as the unticked state of x's box.
bool is_negation(const OptionEntry& option) {
    return option.name.starts_with("no-") && find_entry(option.name.substr(3)) &&
           negation_of(*find_entry(option.name.substr(3))) == &option;
}

const char* kind_name(ValueShape::Kind kind) {
    switch (kind) {
        case ValueShape::Kind::none:
            return "switch";
        case ValueShape::Kind::whole:
            return "whole";
        case ValueShape::Kind::real:
            return "real";
        case ValueShape::Kind::choice:
            return "choice";
        case ValueShape::Kind::text:
            return "text";
    }
    return "text";
}

bool numeric(const ValueShape& shape) {
    return shape.kind == ValueShape::Kind::whole || shape.kind == ValueShape::Kind::real;
}

// A value of several parts (--light AZ[:EL]) is typed as text: a number box
// would drop whatever is not one number.
ValueShape typed_shape(const OptionEntry& option) {
    ValueShape shape = rkcli::value_shape(option);
    if (numeric(shape) && option.value.find(':') != std::string_view::npos)
        shape.kind = ValueShape::Kind::text;
    return shape;
}

// An optional value (--make-tileable[=W]) is ticked and typed as text, with its
// number's range and the value it takes when left out shown as a number's
// are; a probe that no handler takes shows them.
std::optional<ValueShape> optional_number(const OptionEntry& option) {
    if (!option.value.starts_with('[')) return std::nullopt;
    const ValueShape shape = rkcli::value_shape(option, "?");
    return numeric(shape) ? std::optional(shape) : std::nullopt;
}

std::string option_json(const OptionEntry& option, const rkcli::Options& defaults) {
    const ValueShape shape = typed_shape(option);
    const std::optional<ValueShape> optional = optional_number(option);
    JsonObject json;
    json.text("name", option.name)
        .text("kind", kind_name(shape.kind))
        .text("placeholder", option.value)
        .text("help", option.help)
        .text("default", option.default_text ? option.default_text(defaults)
                         : optional          ? rkcli::format_number(float(optional->unread))
                                             : "");
    if (numeric(shape)) json.number("low", shape.low).number("high", shape.high);
    if (optional) json.number("low", optional->low).number("high", optional->high);
    if (shape.kind == ValueShape::Kind::choice) {
        std::vector<std::string> choices;
        for (std::string_view choice : shape.choices) choices.push_back(json_quote(choice));
        json.raw("choices", json_array(choices));
    }
    if (const OptionEntry* negation = negation_of(option)) json.text("negation", negation->name);
    return json.str();
}

bool shell_safe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./,:=@+-%").find(c) != std::string_view::npos;
}

std::string shell_quote(std::string_view word) {
    if (!word.empty() && std::all_of(word.begin(), word.end(), shell_safe))
        return std::string(word);
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string options_json() {
    const rkcli::Options defaults;
    std::vector<std::string> groups;
    for (const rkcli::OptionGroup& group : rkcli::option_groups()) {
        std::vector<std::string> options;
        for (const OptionEntry& option : group.options) {
            if (offered(option) && !is_negation(option))
                options.push_back(option_json(option, defaults));
        }
        if (options.empty()) continue;
        groups.push_back(
            JsonObject().text("title", group.title).raw("options", json_array(options)).str());
    }
    return JsonObject().raw("groups", json_array(groups)).str();
}

FormArgs form_to_args(const std::multimap<std::string, std::string>& fields) {
    FormArgs result;
    for (const auto& [name, value] : fields) {
        const OptionEntry* option = find_entry(name);
        if (!option || !offered(*option) || is_negation(*option)) {
            return {{}, rkcli::concat("\"", name, "\" is not an option of the maps")};
        }
        if (fields.count(name) > 1)
            return {{}, rkcli::concat("\"", name, "\" is given more than once")};
        if (option->value.empty() && value != "on" && value != "off") {
            return {{},
                    rkcli::concat("--", name, " is a switch: give it \"on\" or \"off\", not \"",
                                  value, "\"")};
        }
    }
    // Table order, so that one choice of settings always reads the same.
    for (const rkcli::OptionGroup& group : rkcli::option_groups()) {
        for (const OptionEntry& option : group.options) {
            const auto field = fields.find(std::string(option.name));
            if (field == fields.end()) continue;
            const std::string& value = field->second;
            if (option.value.starts_with('[')) {
                // An optional value is taken only after '=' (--make-tileable=0.2).
                result.args.push_back(value.empty() ? rkcli::concat("--", option.name)
                                                    : rkcli::concat("--", option.name, "=", value));
            } else if (!option.value.empty()) {
                result.args.push_back(rkcli::concat("--", option.name));
                result.args.push_back(value);
            } else if (value == "on") {
                result.args.push_back(rkcli::concat("--", option.name));
            } else if (const OptionEntry* negation = negation_of(option)) {
                result.args.push_back(rkcli::concat("--", negation->name));
            }
        }
    }
    return result;
}

std::string command_line(const std::vector<std::string>& args, std::string_view input_name) {
    std::string line = "reliefkit";
    for (const std::string& arg : args) line += rkcli::concat(" ", shell_quote(arg));
    if (input_name.starts_with('-')) line += " --";
    return rkcli::concat(line, " ", shell_quote(input_name));
}

}  // namespace rkserve
