// Where the EXR and DDS writers send their bytes, and what they report: the
// two halves of a writer's interface, so that saving to a file and handing the
// bytes to a caller's function share one encoder.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace rk {

// The outcome of a save, as the rk_ statuses will name it: ok, a bad argument,
// no memory, a file that could not be opened (io), bytes the destination
// refused (write), a caller's function that asked to stop (aborted), an image
// too large for the format (limit) or a fault of the codec library (internal).
enum class SaveStatus { ok, argument, memory, io, write, aborted, limit, internal };

struct SaveOutcome {
    SaveStatus status = SaveStatus::ok;
    std::string message;  // empty when ok

    bool ok() const noexcept { return status == SaveStatus::ok; }
};

inline SaveOutcome save_failure(SaveStatus status, std::string message) {
    return {status, std::move(message)};
}

// A caller's function receiving the file's bytes in order; non-zero stops the
// save. The same shape as the rk_ interface's rk_write_fn.
using WriteFn = int (*)(void* user, const void* data, size_t size);

class FunctionSink {
  public:
    FunctionSink(WriteFn fn, void* user) noexcept : fn_(fn), user_(user) {}

    // False (and every later put false) once the function refused bytes. An
    // empty put is not passed on.
    bool put(const void* data, size_t size) noexcept {
        if (refused_) return false;
        if (size > 0 && fn_(user_, data, size) != 0) refused_ = true;
        return !refused_;
    }
    bool refused() const noexcept { return refused_; }

  private:
    WriteFn fn_;
    void* user_;
    bool refused_ = false;
};

// The outcome for a sink that refused bytes.
SaveOutcome sink_refused();

// Runs encode with a sink into the UTF-8 path's output file (see OutputFile)
// and puts the file in place only when encode succeeded; a failed save leaves
// an existing file as it was and nothing beside it.
SaveOutcome save_to_file(const std::string& utf8_path,
                         const std::function<SaveOutcome(FunctionSink&)>& encode);

}  // namespace rk
