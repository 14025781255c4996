// The table of options: one entry per option gives its name, its help and how
// it stores its value, so that parsing and --help cannot drift apart.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace rkcli {

struct OptionOutcome {
    Action action = Action::run;  // help and version end the parse
    std::string error;            // what is wrong with the value, if anything
};

struct OptionEntry {
    std::string_view name;   // long name without the dashes
    char short_name;         // 0: none
    std::string_view value;  // placeholder of the value; empty for a switch
    std::string_view help;
    std::string (*default_text)(const Options& defaults);  // null: nothing to show
    OptionOutcome (*apply)(Options& options, std::string_view value);
};

struct OptionGroup {
    std::string_view title;
    std::span<const OptionEntry> options;
};

std::span<const OptionGroup> option_groups();

// What an option's value is, for a form that offers it: learnt by running the
// entry's handler on a probe (empty unless given), so an entry cannot describe
// itself wrongly. An optional value ([=W]) shows its number only on a probe
// that is not empty.
struct ValueShape {
    enum class Kind { none, whole, real, choice, text };  // none: a switch
    Kind kind = Kind::none;
    double low = 0;  // range of whole and real values
    double high = 0;
    std::vector<std::string_view> choices;
    double unread = 0;  // a number's before its text is read: an optional one's when left out
};
ValueShape value_shape(const OptionEntry& option, std::string_view given = {});

}  // namespace rkcli
