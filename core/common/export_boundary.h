// Every exported function runs its body through guarded(): no exception, an
// exhausted heap included, ever crosses into a C host.
#pragma once

#include <type_traits>

namespace rk {

template <class F, class R = std::invoke_result_t<F>>
R guarded(R on_failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_failure;
    }
}

template <class F>
void guarded(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace rk
