// The diagnostics channel: each text goes to the host's sink as one call, or
// nowhere when no sink is installed, and into the message of the rk_ call the
// thread works for, if any (common/rk_call.h).
#pragma once

#include <string_view>

namespace rk {

void debug_output(const char* utf8_text) noexcept;
void debug_output(std::u16string_view text) noexcept;

}  // namespace rk
