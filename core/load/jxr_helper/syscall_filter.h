// The seccomp filter the JPEG XR decoding helper puts on itself once its input is
// mapped: from then on it may only manage memory, write its reply and end.
#pragma once

// Set in builds with AddressSanitizer (gcc and clang say so differently).
#if defined(__SANITIZE_ADDRESS__)
#define RKJXR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RKJXR_SANITIZED 1
#endif
#endif

namespace rkjxr {

// True when the filter is in force.
bool restrict_system_calls() noexcept;

}  // namespace rkjxr
