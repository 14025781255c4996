#include "common/sink.h"

#include <pthread.h>

#include <mutex>
#include <string>

#include "common/rk_call.h"
#include "common/utf16.h"
#include "reliefkit.h"

namespace rk {
namespace {

struct Sink {
    rk_debug_sink fn = nullptr;
    void* user = nullptr;
};

std::mutex g_sink_lock;
Sink g_sink;

// A child of fork() must find the lock free: another thread of the parent may
// hold it (fetching or installing the sink) at the moment of the fork, and the
// child's first diagnostic would then wait forever. The forking thread holds
// it across the fork instead; nothing is called while it is held.
const int g_sink_fork_guard = ::pthread_atfork(
    [] { g_sink_lock.lock(); }, [] { g_sink_lock.unlock(); }, [] { g_sink_lock.unlock(); });

Sink current_sink() noexcept {
    std::lock_guard lock(g_sink_lock);
    return g_sink;
}

}  // namespace

void debug_output(const char* utf8_text) noexcept {
    if (!utf8_text) return;
    // A path copied into a text may hold any bytes; the sink and the message
    // are promised UTF-8.
    std::string escaped;
    if (!is_utf8(utf8_text)) {
        try {
            escaped = utf8_escaped(utf8_text);
            utf8_text = escaped.c_str();
        } catch (...) {
            utf8_text = "(text with an invalid UTF-8 sequence)";
        }
    }
    // An rk_ call gathers every text for its message as well.
    if (CallMessage* message = current_call_message()) message->add(utf8_text);
    // The sink is called outside the lock so that it may itself install a sink.
    const Sink sink = current_sink();
    if (sink.fn) sink.fn(utf8_text, sink.user);
}

void debug_output(std::u16string_view text) noexcept {
    if (!current_sink().fn && !current_call_message()) return;
    try {
        if (auto utf8 = utf16_to_utf8(text)) {
            debug_output(utf8->c_str());
        } else {
            debug_output("(text with an invalid UTF-16 sequence)");
        }
    } catch (...) {
        // Out of memory while converting: the diagnostic is dropped.
    }
}

}  // namespace rk

extern "C" RK_API void set_debug_output(rk_debug_sink sink, void* user) noexcept {
    std::lock_guard lock(rk::g_sink_lock);
    rk::g_sink = {sink, sink ? user : nullptr};
}
