#include "save/save_outcome.h"

#include <system_error>

#include "save/output_file.h"

namespace rk {

SaveOutcome sink_refused() {
    return save_failure(RK_ERROR_WRITE, "Could not write output file.");
}

namespace {

// The reason an output could not be opened, with the system's word for it when
// there is one and the whole still fits the least message buffer of the older
// savers (a translated text may not).
std::string cannot_open(const OutputFile& file) {
    const int error = file.open_error();
    std::string message = "Could not open output file: ";
    message += error ? std::generic_category().message(error) : "not a regular file";
    // UTF-8 is never shorter than UTF-16 in code units.
    return message.size() < RK_MIN_MESSAGE_CAPACITY ? message : "Could not open output file.";
}

}  // namespace

SaveOutcome save_to_file(const std::string& utf8_path, const Encoder& encode) {
    if (utf8_path.empty()) return save_failure(RK_ERROR_WRITE, "Could not open output file.");
    OutputFile file(utf8_path);
    if (file.failed()) return save_failure(RK_ERROR_WRITE, cannot_open(file));
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
