// What a save came to, and the two places every writer (PNG, EXR, DDS) sends
// its bytes: a file that is replaced only by a complete one, or a caller's
// write callback. One encoder per format writes into a ByteSink; these run it.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "reliefkit.h"
#include "save/byte_sink.h"

namespace rk {

// RK_OK with an empty message, or the status the rk_ savers return and the
// reason (UTF-8) they report.
struct SaveOutcome {
    rk_status status = RK_OK;
    std::string message;

    bool ok() const noexcept { return status == RK_OK; }
};

inline SaveOutcome save_failure(rk_status status, std::string message) {
    return {status, std::move(message)};
}

// What an encoder answers when memory ran out. It carries no text, since
// making one takes memory; the rk_ savers word it (kNoMemory) once the
// encoder's buffers are freed.
inline SaveOutcome out_of_memory() noexcept {
    return {RK_ERROR_MEMORY, {}};
}
constexpr const char* kNoMemory = "Not enough memory.";

// What an encoder answers when the sink refused its bytes: the file system's
// refusal; a callback's is told apart by save_to_callback.
SaveOutcome sink_refused();

using Encoder = std::function<SaveOutcome(ByteSink&)>;

// Runs encode into the file at utf8_path (see OutputFile) and puts the file in
// place only when encode succeeded; a failed save leaves an existing file as it
// was and nothing beside it. RK_ERROR_WRITE when the file cannot be created,
// written or put in place.
SaveOutcome save_to_file(const std::string& utf8_path, const Encoder& encode);

// Runs encode into write(user, ...) in blocks (CallbackSink); RK_ERROR_ABORTED
// once write answered non-zero.
SaveOutcome save_to_callback(rk_write_fn write, void* user, const Encoder& encode);

}  // namespace rk
