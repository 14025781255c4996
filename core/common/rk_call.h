// The boundary of every rk_ export: the calling thread's message is cleared,
// every text the call produces (on any thread working for it) is gathered,
// nothing is thrown across, and the outcome becomes a status plus the message
// rk_last_error() shows. reliefkit.h's exports keep guarded()
// (export_boundary.h): they have no status and leave the message alone.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/thread_pool.h"
#include "reliefkit.h"

namespace rk {

// The texts of one rk_ call, joined as the command joins the sink's texts: a
// text follows the one before on a new line, unless that one ended in ": " or a
// line break (a reader's prefix and its reason make one line).
class CallMessage {
  public:
    void add(std::string_view text) noexcept;
    // The joined texts without a final line break; empty when none came.
    std::string text() const;

  private:
    mutable std::mutex lock_;  // texts may come from several worker threads at once
    std::string text_;
};

// The message of the rk_ call the current thread works for; null outside one.
CallMessage* current_call_message() noexcept;

// Makes message the current thread's for the scope's life, then restores the
// one before: an rk_ call for its own thread, the pool for each item it runs.
class CallMessageScope {
  public:
    explicit CallMessageScope(CallMessage* message) noexcept;
    ~CallMessageScope();
    CallMessageScope(const CallMessageScope&) = delete;
    CallMessageScope& operator=(const CallMessageScope&) = delete;

  private:
    CallMessage* previous_;
};

// A failure with the status it means and its reason (no function name: the
// boundary puts that in front). Thrown anywhere inside rk_call's body.
struct Failure {
    rk_status status;
    std::string reason;
};
[[noreturn]] void fail(rk_status status, std::string reason);

// One rk_ call in progress; rk_call is its only user.
class RkCall {
  public:
    explicit RkCall(const char* function) noexcept;
    RkCall(const RkCall&) = delete;
    RkCall& operator=(const RkCall&) = delete;
    // The status to return; the thread's last error is set from it and the
    // gathered texts (a failure's reason added first, to the sink too).
    rk_status finish(rk_status status, std::string_view reason = {}) noexcept;

  private:
    const char* function_;
    LibraryCall busy_;
    CallMessage message_;
    CallMessageScope scope_;
};

// Runs body (returning rk_status) as the export named function: a Failure
// becomes its status and "function: reason", std::bad_alloc RK_ERROR_MEMORY,
// anything else RK_ERROR_INTERNAL.
template <class F>
rk_status rk_call(const char* function, F&& body) noexcept {
    RkCall call(function);
    try {
        return call.finish(body());
    } catch (const Failure& f) {
        return call.finish(f.status, f.reason);
    } catch (const std::bad_alloc&) {
        return call.finish(RK_ERROR_MEMORY);
    } catch (...) {
        return call.finish(RK_ERROR_INTERNAL);
    }
}

// Decimal text of n, for messages (std::to_string would export a table of the
// standard library from the shared library).
std::string decimal_text(uint64_t n);

// Refuses a null argument of an rk_ function.
template <class T>
void require(const T* pointer, const char* name) {
    if (!pointer) fail(RK_ERROR_ARGUMENT, std::string(name) + " is null");
}

}  // namespace rk
