#include "output_key.h"

#include <algorithm>
#include <array>
#include <optional>

#include "farm_options.h"
#include "number_text.h"
#include "text_conversion.h"

namespace rkcli {
namespace {

// Maps are bit-identical whatever these say (the library's results do not
// depend on the thread count); help and version end the parse; --verbose only
// prints. A photometric capture is one run over its photographs, never a
// batch with a manifest: its options key nothing.
constexpr std::array<std::string_view, 9> kNotShaping = {
    "out-dir", "jobs", "threads", "quiet", "help", "version", "verbose", "photometric",
    "elevation"};

// Values the help shows no default for, or not as a value, written back from
// the settings made: "--light -225" and "--light 135.0" key as "--light 135",
// "--resize 0256x256" as "256x256", a bare "--make-tileable" as "=0.1".
std::string written_back(std::string_view name, const Options& made) {
    if (name == "light" && made.height.light_azimuth) {
        const std::string azimuth = format_number(*made.height.light_azimuth);
        const std::optional<float>& elevation = made.height.light_elevation;
        return elevation ? concat(azimuth, ":", format_number(*elevation)) : azimuth;
    }
    if (name == "resize" && made.resize)
        return concat(std::to_string(made.resize->width), "x", std::to_string(made.resize->height));
    if (name == "make-tileable" && made.make_tileable) return format_number(*made.make_tileable);
    return {};
}

// The value an option's step is written with when it gives the same settings.
std::string canonical_text(const OptionEntry& option, const Options& made) {
    std::string text = written_back(option.name, made);
    if (text.empty() && option.default_text) text = option.default_text(made);
    return text;
}

struct Step {
    const OptionEntry* entry;
    size_t position;  // in the table
    std::string value;
};

std::optional<Step> find_step(std::string_view name, std::string value) {
    size_t position = 0;
    for (const OptionGroup& group : option_groups()) {
        for (const OptionEntry& option : group.options) {
            if (option.name == name) return Step{&option, position, std::move(value)};
            ++position;
        }
    }
    return std::nullopt;
}

std::optional<Options> replay(const std::vector<Step>& steps) {
    Options options;
    for (const Step& step : steps) {
        const OptionOutcome outcome = step.entry->apply(options, step.value);
        if (outcome.action != Action::run || !outcome.error.empty()) return std::nullopt;
    }
    // Whether --ao-depth was given tells only --from-normal's depth apart.
    if (!options.from_normal) options.material.ao_depth_given = false;
    // Whether --depth or --format was given serves only to refuse them beside
    // a preset (and --depth beside exr or dds), checks a keyed run has passed:
    // "--depth 8" or "--format png" makes the same maps as no option.
    options.depth_given = false;
    options.material.format_given = false;
    return options;
}

}  // namespace

bool shapes_outputs(const OptionEntry& option) {
    return !is_farm_option(option) &&
           std::find(kNotShaping.begin(), kNotShaping.end(), option.name) == kNotShaping.end();
}

std::vector<std::string> output_key(
    const std::vector<std::pair<std::string_view, std::string>>& applied) {
    std::vector<Step> steps;
    for (const auto& [name, value] : applied) {
        std::optional<Step> step = find_step(name, value);
        if (step && shapes_outputs(*step->entry)) steps.push_back(std::move(*step));
    }
    // Each simplification is kept only when the steps still give these settings.
    if (const std::optional<Options> target = replay(steps)) {
        auto same = [&](const std::vector<Step>& tried) { return replay(tried) == target; };
        for (size_t i = 0; i < steps.size();) {
            std::vector<Step> tried = steps;
            tried.erase(tried.begin() + static_cast<std::ptrdiff_t>(i));
            if (same(tried)) {
                steps = std::move(tried);
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < steps.size(); ++i) {
            std::string canonical = canonical_text(*steps[i].entry, *target);
            if (steps[i].entry->value.empty() || canonical.empty()) continue;
            std::vector<Step> tried = steps;
            tried[i].value = std::move(canonical);
            if (same(tried)) steps = std::move(tried);
        }
        std::vector<Step> tried = steps;
        std::stable_sort(tried.begin(), tried.end(),
                         [](const Step& a, const Step& b) { return a.position < b.position; });
        if (same(tried)) steps = std::move(tried);
    }
    std::vector<std::string> key;
    for (const Step& step : steps) {
        const std::string_view shape = step.entry->value;
        if (shape.starts_with('[')) {  // an optional value is only ever written after '='
            key.push_back(step.value.empty() ? concat("--", step.entry->name)
                                             : concat("--", step.entry->name, "=", step.value));
            continue;
        }
        key.push_back(concat("--", step.entry->name));
        if (!shape.empty()) key.push_back(step.value);
    }
    return key;
}

}  // namespace rkcli
