#include "save/save_outcome.h"

#include "save/output_file.h"

namespace rk {

SaveOutcome sink_refused() {
    return save_failure(SaveStatus::aborted, "The write function stopped the save.");
}

SaveOutcome save_to_file(const std::string& utf8_path,
                         const std::function<SaveOutcome(FunctionSink&)>& encode) {
    if (utf8_path.empty()) return save_failure(SaveStatus::argument, "No output path.");
    OutputFile out(utf8_path);
    if (out.failed()) return save_failure(SaveStatus::io, "Could not open output file.");
    FunctionSink sink(
        [](void* file, const void* data, size_t size) {
            return static_cast<OutputFile*>(file)->write(data, size) ? 0 : 1;
        },
        &out);
    SaveOutcome outcome = encode(sink);
    // The sink's refusals are the file system's here, not a caller's choice.
    if (sink.refused()) return save_failure(SaveStatus::write, "Could not write output file.");
    if (!outcome.ok()) return outcome;
    switch (out.commit()) {
        case OutputFile::CommitResult::committed:
            return {};
        case OutputFile::CommitResult::write_failed:
            return save_failure(SaveStatus::write, "Could not write output file.");
        case OutputFile::CommitResult::replace_failed:
            break;
    }
    return save_failure(SaveStatus::write, "Could not replace output file.");
}

}  // namespace rk
