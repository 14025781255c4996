// The command's generator options as the page offers them, and a request's
// fields turned back into the command's own arguments. Both walk the option
// table, so an option added there appears on the page and is accepted here
// without a change to the server.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rkserve {

// {"groups":[{"title":..,"options":[{"name","kind","default",..}]}]}: see the README.
std::string options_json();

struct FormArgs {
    std::vector<std::string> args;  // as typed after "reliefkit", inputs excluded
    std::string error;              // set when a field is unknown or malformed
};

// Fields name -> value, one per option: a value option's value as typed on the
// command line; a switch "on" or "off" ("off" gives the negating switch, such
// as --no-auto-levels, where the table has one).
FormArgs form_to_args(const std::multimap<std::string, std::string>& fields);

// The command that makes the same maps from a file named input_name in the
// current directory, quoted for a POSIX shell.
std::string command_line(const std::vector<std::string>& args, std::string_view input_name);

}  // namespace rkserve
