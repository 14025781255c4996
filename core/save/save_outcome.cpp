#include "save/save_outcome.h"

#include <cstdio>
#include <cstring>

#include "save/output_file.h"

namespace rk {

SaveOutcome sink_refused() {
    return save_failure(RK_ERROR_WRITE, "Could not write output file.");
}

namespace {

// A failure's message with the system's word for it appended, when the whole
// still fits the least message buffer of the older savers (a long system text
// may not); else the plain one.
std::string with_reason(const char* plain, const char* lead, const std::string& reason) {
    const std::string message = lead + reason;
    // UTF-8 is never shorter than UTF-16 in code units.
    return message.size() < RK_MIN_MESSAGE_CAPACITY ? message : plain;
}

// The system's word for an errno, in English whatever the host's locale: the
// messages are UTF-8 and read the same everywhere, which strerror's
// translation (in the locale's own encoding) would not.
std::string system_reason(int error) {
    if (const char* description = ::strerrordesc_np(error)) return description;
    // Not std::to_string: its inline digit table would be exported from the library.
    char number[24];
    std::snprintf(number, sizeof number, "error %d", error);
    return number;
}

// The reason an output could not be opened.
std::string cannot_open(const OutputFile& file) {
    const int error = file.open_error();
    return with_reason("Could not open output file.", "Could not open output file: ",
                       error ? system_reason(error) : "not a regular file");
}

// The reason its content could not be written (a full disk, a size limit),
// with the system's word when the file system gave one.
SaveOutcome cannot_write(const OutputFile& file) {
    const int error = file.write_error();
    if (error == 0) return sink_refused();
    return save_failure(RK_ERROR_WRITE,
                        with_reason("Could not write output file.",
                                    "Could not write output file: ", system_reason(error)));
}

}  // namespace

SaveOutcome save_to_file(const std::string& utf8_path, const Encoder& encode) {
    if (utf8_path.empty()) return save_failure(RK_ERROR_WRITE, "Could not open output file.");
    OutputFile file(utf8_path);
    if (file.failed()) return save_failure(RK_ERROR_WRITE, cannot_open(file));
    OutputFileSink sink(file);
    SaveOutcome outcome = encode(sink);
    // The encoder words a refused write without knowing why; the file knows.
    if (outcome.status == RK_ERROR_WRITE && file.write_error() != 0) return cannot_write(file);
    if (!outcome.ok()) return outcome;
    switch (file.commit()) {
        case OutputFile::CommitResult::committed:
            return outcome;
        case OutputFile::CommitResult::write_failed:
            return cannot_write(file);
        case OutputFile::CommitResult::replace_failed:
            break;
    }
    // Without its reason, a name too long for the file system reads like a
    // refused permission.
    const int error = file.replace_error();
    if (error == 0) return save_failure(RK_ERROR_WRITE, "Could not replace output file.");
    return save_failure(RK_ERROR_WRITE,
                        with_reason("Could not replace output file.",
                                    "Could not replace output file: ", system_reason(error)));
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
