#include "save/save_outcome.h"

#include "save/output_file.h"

namespace rk {

SaveOutcome sink_refused() {
    return save_failure(RK_ERROR_WRITE, "Could not write output file.");
}

SaveOutcome save_to_file(const std::string& utf8_path, const Encoder& encode) {
    if (utf8_path.empty()) return save_failure(RK_ERROR_WRITE, "Could not open output file.");
    OutputFile file(utf8_path);
    if (file.failed()) return save_failure(RK_ERROR_WRITE, "Could not open output file.");
    OutputFileSink sink(file);
    SaveOutcome outcome = encode(sink);
    if (!outcome.ok()) return outcome;
    switch (file.commit()) {
        case OutputFile::CommitResult::committed:
            return outcome;
        case OutputFile::CommitResult::write_failed:
            return sink_refused();
        case OutputFile::CommitResult::replace_failed:
            break;
    }
    return save_failure(RK_ERROR_WRITE, "Could not replace output file.");
}

SaveOutcome save_to_callback(rk_write_fn write, void* user, const Encoder& encode) {
    CallbackSink sink(write, user);
    SaveOutcome outcome = encode(sink);
    if (outcome.ok()) sink.finish();
    if (sink.aborted()) {
        return save_failure(RK_ERROR_ABORTED, "the write callback returned non-zero");
    }
    return outcome;
}

}  // namespace rk
