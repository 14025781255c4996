#include "report.h"

#include <cerrno>
#include <nlohmann/json.hpp>
#include <system_error>

#include "text_conversion.h"

namespace rkcli {

std::string report_line(const ReportEntry& entry) {
    using Json = nlohmann::ordered_json;  // the fields in the documented order
    Json outputs = Json::array();
    for (const FileHash& output : entry.outputs) {
        outputs.push_back({{"path", output.path.string()},
                           {"xxh3", output.xxh3.empty() ? Json() : Json(output.xxh3)}});
    }
    const Json line = {{"input", entry.input},
                       {"status", entry.status},
                       {"outputs", std::move(outputs)},
                       {"seconds", entry.seconds},
                       {"error", entry.error.empty() ? Json() : Json(entry.error)}};
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Report::open(const std::string& where) {
    where_ = where;
    if (where == "-") {
        out_ = &std::cout;
        return {};
    }
    file_.open(where, std::ios::binary | std::ios::trunc);
    if (!file_)
        return "cannot write the report " + printable(where) + ": " +
               std::generic_category().message(errno);
    out_ = &file_;
    return {};
}

void Report::write(const ReportEntry& entry) {
    const std::string line = report_line(entry) + "\n";
    const std::lock_guard hold(lock_);
    if (!out_) return;
    errno = 0;
    if (!(*out_ << line << std::flush) && !error_) error_ = errno;
}

std::string Report::close() {
    const std::lock_guard hold(lock_);
    if (!out_) return {};
    errno = 0;
    const bool written = static_cast<bool>(*out_ << std::flush);
    if (!written && !error_) error_ = errno;
    if (out_ == &file_) file_.close();
    if (written && !file_.fail()) return {};
    if (!error_) error_ = errno;
    return "cannot write the report " + printable(where_) +
           (error_ ? ": " + std::generic_category().message(error_) : std::string());
}

}  // namespace rkcli
