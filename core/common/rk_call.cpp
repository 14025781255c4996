#include "common/block_cache.h"
#include "common/rk_call.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "common/rk_params.h"
#include "common/sink.h"
#include "common/utf16.h"

namespace rk {
namespace {

thread_local CallMessage* t_message = nullptr;

// What rk_last_error() shows: the text of t_last_error, or a static text when
// that could not be stored (no memory for it).
thread_local std::string t_last_error;
thread_local const char* t_last_error_text = "";

void set_last_error(rk_status status, const CallMessage& message) noexcept {
    t_last_error_text = rk_status_text(status);
    try {
        t_last_error = message.text();
        // Its texts came through debug_output, which escapes what is not
        // UTF-8, unless memory ran out on the way.
        if (!is_utf8(t_last_error)) t_last_error = utf8_escaped(t_last_error);
        if (t_last_error.empty()) t_last_error = t_last_error_text;
        t_last_error_text = t_last_error.c_str();
    } catch (...) {
        // Out of memory for the message: the status's own text stands for it.
    }
}

}  // namespace

void CallMessage::add(std::string_view text) noexcept {
    std::lock_guard hold(lock_);
    try {
        if (!text_.empty() && !text_.ends_with(": ") && !text_.ends_with('\n')) text_ += '\n';
        text_ += text;
    } catch (...) {
        // Out of memory: this text is lost, the ones before stay.
    }
}

std::string CallMessage::text() const {
    std::lock_guard hold(lock_);
    std::string joined = text_;
    while (!joined.empty() && joined.back() == '\n') joined.pop_back();
    return joined;
}

CallMessage* current_call_message() noexcept {
    return t_message;
}

CallMessageScope::CallMessageScope(CallMessage* message) noexcept : previous_(t_message) {
    t_message = message;
}

CallMessageScope::~CallMessageScope() {
    t_message = previous_;
}

std::string decimal_text(uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
    return text;
}

namespace {

// As "%g" writes it in the C locale: printf follows the host's LC_NUMERIC
// (a decimal comma), to_chars never does, so every message reads the same.
std::string real_text(float v) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, static_cast<double>(v),
                                   std::chars_format::general, 6)
                         .ptr;
    return std::string(text, end);
}

}  // namespace

void check_at_most(uint32_t value, uint32_t most, const char* field) {
    if (value > most) {
        fail(RK_ERROR_ARGUMENT, std::string(field) + " " + decimal_text(value) + " is not 0 to " +
                                    decimal_text(most));
    }
}

void check_switch(uint32_t value, const char* field) {
    if (value > 1) {
        fail(RK_ERROR_ARGUMENT, std::string(field) + " " + decimal_text(value) + " is not 0 or 1");
    }
}

void check_between(float value, float low, float high, const char* field) {
    if (!(value >= low && value <= high)) {
        fail(RK_ERROR_ARGUMENT, std::string(field) + " " + real_text(value) + " is not " +
                                    real_text(low) + " to " + real_text(high));
    }
}

void check_between_or_nan(float value, float low, float high, const char* field) {
    if (!(value >= low && value <= high) && value == value) {
        fail(RK_ERROR_ARGUMENT, std::string(field) + " " + real_text(value) + " is not " +
                                    real_text(low) + " to " + real_text(high) + " or NaN");
    }
}

void check_above(float value, float low, float high, const char* field) {
    if (!(value > low && value <= high)) {
        fail(RK_ERROR_ARGUMENT, std::string(field) + " " + real_text(value) + " is not above " +
                                    real_text(low) + " and at most " + real_text(high));
    }
}

void fail(rk_status status, std::string reason) {
    throw Failure{status, std::move(reason)};
}

RkCall::RkCall(const char* function) noexcept : function_(function), scope_(&message_) {
    // The text of the thread's previous call stays valid until now.
    t_last_error.clear();
    t_last_error_text = "";
}

rk_status RkCall::finish(rk_status status, std::string_view reason) noexcept {
    if (status == RK_OK) {
        // Texts of a success (warnings) are dropped, and so is the message of
        // a failed call that a write callback made during this one.
        t_last_error.clear();
        t_last_error_text = "";
        return status;
    }
    if (!reason.empty()) {
        try {
            // Through the sink's channel, which adds it to this call's message too.
            debug_output((std::string(function_) + ": " + std::string(reason)).c_str());
        } catch (...) {
            message_.add(reason);
        }
    }
    set_last_error(status, message_);
    return status;
}

}  // namespace rk

using namespace rk;

extern "C" {

RK_API uint32_t rk_version(void) noexcept {
    return RK_VERSION;
}

RK_API const char* rk_version_string(void) noexcept {
    return RK_VERSION_STRING;
}

RK_API const char* rk_status_text(rk_status status) noexcept {
    // A C caller may pass any int: switched on as the enum, a value outside its
    // range would be undefined.
    int code = 0;
    static_assert(sizeof status == sizeof code);
    std::memcpy(&code, &status, sizeof code);
    switch (code) {
        case RK_OK:
            return "success";
        case RK_ERROR_ARGUMENT:
            return "invalid argument";
        case RK_ERROR_MEMORY:
            return "out of memory";
        case RK_ERROR_IO:
            return "the file could not be opened or read";
        case RK_ERROR_FORMAT:
            return "unknown image format";
        case RK_ERROR_DAMAGED:
            return "damaged or truncated data";
        case RK_ERROR_LIMIT:
            return "over a size limit";
        case RK_ERROR_UNSUPPORTED:
            return "unsupported variant of the format";
        case RK_ERROR_HELPER:
            return "the JPEG XR decoding helper failed";
        case RK_ERROR_WRITE:
            return "the output could not be written";
        case RK_ERROR_ABORTED:
            return "aborted by the write callback";
        case RK_ERROR_VERSION:
            return "parameter struct newer than this library";
        case RK_ERROR_INTERNAL:
            return "internal error";
    }
    return "unknown status";
}

RK_API const char* rk_last_error(void) noexcept {
    return t_last_error_text;
}

RK_API void rk_set_thread_count(uint32_t n) noexcept {
    set_thread_count_to(n);
}

RK_API uint32_t rk_get_thread_count(void) noexcept {
    return thread_count();
}

RK_API void rk_set_kept_memory(size_t bytes) noexcept {
    set_block_cache_idle_limit(bytes);
}

}  // extern "C"
