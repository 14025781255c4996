// The seccomp filter the JPEG XR decoding helper puts on itself once its input is
// mapped: from then on it may only manage memory, write its reply and end.
#pragma once

namespace rkjxr {

// True when the filter is in force.
bool restrict_system_calls() noexcept;

}  // namespace rkjxr
