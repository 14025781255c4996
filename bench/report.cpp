#include "report.h"

#include <cstdio>
#include <map>

#include "settings.h"

namespace rkbench {
namespace {

constexpr double kImageMiB = double{kSide} * kSide * 16 / (1024.0 * 1024.0);
constexpr double kMemoryBudgetMiB = 6 * kImageMiB;
const std::string kPipeline = "pipeline";
const std::string kMemory = "memory";

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string milliseconds(std::optional<double> seconds) {
    return seconds ? format("%.1f ms", *seconds * 1e3) : "n/a";
}

std::string ratio(std::optional<double> a, std::optional<double> b) {
    return a && b && *b > 0 ? format("%.2f", *a / *b) : "n/a";
}

// Both sides of every row, by label: seconds, or MiB for the memory row.
struct Figures {
    std::map<std::string, double> ours, peer;

    static std::optional<double> get(const std::map<std::string, double>& m,
                                     const std::string& key) {
        const auto it = m.find(key);
        return it == m.end() ? std::nullopt : std::optional<double>(it->second);
    }
    std::optional<double> ours_of(const std::string& k) const { return get(ours, k); }
    std::optional<double> peer_of(const std::string& k) const { return get(peer, k); }
};

Figures collect(const std::vector<Comparison>& comparisons, const BestTimeCollector& times,
                const std::optional<PipelineRun>& pipeline) {
    Figures f;
    for (const Comparison& c : comparisons) {
        if (auto t = times.best_seconds("ours/" + c.label)) f.ours[c.label] = *t;
        if (auto t = times.best_seconds("peer/" + c.label)) f.peer[c.label] = *t;
    }
    const auto jpeg = f.ours_of(labels::load_jpeg);
    const auto height_png = f.ours_of(labels::save_height);
    const auto normal_png = f.ours_of(labels::save_normal);
    if (pipeline) {
        f.ours[kPipeline] = pipeline->cpu_seconds;
        f.ours[kMemory] = pipeline->max_rss_mib;
    }
    // The command's floor: one JPEG decode and the PNG encodes of its two maps.
    if (jpeg && height_png && normal_png) f.peer[kPipeline] = *jpeg + *height_png + *normal_png;
    f.peer[kMemory] = kMemoryBudgetMiB;
    return f;
}

void print_table(std::ostream& out, const std::vector<Comparison>& comparisons, const Figures& f,
                 const std::map<std::string, double>& differences,
                 const std::optional<PipelineRun>& pipeline) {
    out << "| operation | ours | OpenCV | ours / OpenCV | MP/s (ours) | max abs diff (RGB) |\n"
        << "|---|--:|--:|--:|--:|--:|\n";
    for (const Comparison& c : comparisons) {
        const auto ours = f.ours_of(c.label);
        if (!ours && !f.peer_of(c.label)) continue;  // filtered out or failed
        out << "| " << c.label << " | " << milliseconds(ours) << " | "
            << milliseconds(f.peer_of(c.label)) << " | " << ratio(ours, f.peer_of(c.label)) << " | "
            << (ours ? format("%.1f", c.megapixels / *ours) : "n/a") << " | "
            << (differences.contains(c.label) ? format("%.2g", differences.at(c.label)) : "")
            << " |\n";
    }
    const auto cmd = f.ours_of(kPipeline);
    out << "| whole command, JPEG to both maps (vs codec floor*) | " << milliseconds(cmd) << " | "
        << milliseconds(f.peer_of(kPipeline)) << " | " << ratio(cmd, f.peer_of(kPipeline)) << " | "
        << (cmd ? format("%.1f", pipeline->megapixels / *cmd) : "n/a") << " | |\n";
    const auto mem = f.ours_of(kMemory);
    out << "| peak memory of that run (vs 6 images) | " << (mem ? format("%.0f MiB", *mem) : "n/a")
        << " | " << format("%.0f MiB", kMemoryBudgetMiB) << " | " << ratio(mem, f.peer_of(kMemory))
        << " | | |\n\n";
    out << "*codec floor: our load_image JPEG + our core_saveimage_png of the height map and of "
           "the normal map, from the rows above.";
    if (pipeline) {
        out << " Command: `" << pipeline->what << "`\n";
    } else {
        out << " Command not run.\n";
    }
}

struct Target {
    std::string what;
    std::optional<double> numerator, denominator;
    double limit;
};

void print_targets(std::ostream& out, const Figures& f) {
    using namespace labels;
    const std::vector<Target> targets = {
        {"Gaussian 9 / OpenCV", f.ours_of(gaussian9), f.peer_of(gaussian9), 1.0},
        {"Gaussian 31 / OpenCV", f.ours_of(gaussian31), f.peer_of(gaussian31), 0.6},
        {"Gaussian 99 / OpenCV", f.ours_of(gaussian99), f.peer_of(gaussian99), 0.25},
        {"detail 15, random / our Gaussian 15", f.ours_of(detail_random), f.ours_of(gaussian15),
         1.5},
        {"detail 15, photo / our Gaussian 15", f.ours_of(detail_photo), f.ours_of(gaussian15), 1.5},
        {"height-map pipeline / OpenCV", f.ours_of(heightmap), f.peer_of(heightmap), 0.5},
        {"normal-map pipeline / OpenCV", f.ours_of(normalmap), f.peer_of(normalmap), 0.5},
        {"whole command / codec floor", f.ours_of(kPipeline), f.peer_of(kPipeline), 1.3},
        {"peak memory / 6 images", f.ours_of(kMemory), f.peer_of(kMemory), 1.0},
    };
    out << "\n| target | measured | limit | |\n|---|--:|--:|---|\n";
    for (const Target& t : targets) {
        const bool known = t.numerator && t.denominator && *t.denominator > 0;
        const bool met = known && *t.numerator / *t.denominator <= t.limit;
        out << "| " << t.what << " | " << ratio(t.numerator, t.denominator) << " | "
            << format("%.2f", t.limit) << " | " << (known ? (met ? "met" : "NOT met") : "n/a")
            << " |\n";
    }
}

}  // namespace

void print_report(std::ostream& out, const std::vector<Comparison>& comparisons,
                  const BestTimeCollector& times, const std::map<std::string, double>& differences,
                  const std::optional<PipelineRun>& pipeline) {
    const Figures f = collect(comparisons, times, pipeline);
    print_table(out, comparisons, f, differences, pipeline);
    print_targets(out, f);
}

}  // namespace rkbench
