// --report: one JSON object per input, a line each (JSON Lines), for the
// machines that run the command:
//   {"input": path, "status": "made" | "skipped" | "failed",
//    "outputs": [{"path": ..., "xxh3": hex}], "seconds": ..., "error": text or null}
#pragma once

#include <fstream>
#include <iostream>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "file_hash.h"

namespace rkcli {

struct ReportEntry {
    std::string input;
    std::string_view status;  // "made", "skipped" or "failed"
    std::vector<FileHash>
        outputs;  // the files written (or found up to date); an empty hash is null
    double seconds = 0;
    std::string error;  // the whole message, names escaped; empty: null
};

// The entry as one JSON object without a line break; names that are not
// UTF-8 carry U+FFFD in place of the bytes that are not.
std::string report_line(const ReportEntry& entry);

class Report {
  public:
    // Opens where ("-": standard output); answers why it cannot, empty when open.
    std::string open(const std::string& where);
    bool on_standard_output() const { return out_ == &std::cout; }

    // Writes one line and flushes it, so that a watcher sees each input as
    // it finishes; any thread may write.
    void write(const ReportEntry& entry);

    // Answers why some line could not be written, empty when all were.
    std::string close();

  private:
    std::mutex lock_;
    std::string where_;
    std::ofstream file_;
    int error_ = 0;  // errno of the first write that failed: the stream keeps no reason
    std::ostream* out_ = nullptr;
};

}  // namespace rkcli
