// The one rule of every rk_ parameter struct (rk_height_params, rk_png_params,
// ...): it begins with uint32_t struct_size, every field is 4 bytes, and a
// caller's struct_size says which leading fields it has. A smaller one (a
// program built against an older header) gets the defaults for the rest; a
// larger one asks for fields this library does not know and is refused.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "common/rk_call.h"

namespace rk {

// Throws the Failure that struct_size (of a struct named type, known to be
// known_size bytes here) deserves, or returns when the size is usable.
inline void check_struct_size(size_t struct_size, size_t known_size, const char* type) {
    if (struct_size > known_size) {
        fail(RK_ERROR_VERSION, std::string(type) + ".struct_size " + decimal_text(struct_size) +
                                   " is larger than this library's " + type + " (" +
                                   decimal_text(known_size) + " bytes): a newer header");
    }
    if (struct_size < sizeof(uint32_t) || struct_size % sizeof(uint32_t) != 0) {
        fail(RK_ERROR_ARGUMENT, std::string(type) + ".struct_size " + decimal_text(struct_size) +
                                    " is not the size of a " + type +
                                    " (sizeof the struct as the program sees it)");
    }
}

template <class P>
constexpr void check_params_shape() {
    static_assert(std::is_trivially_copyable_v<P> && std::is_standard_layout_v<P>);
    static_assert(offsetof(P, struct_size) == 0 && sizeof(P) % sizeof(uint32_t) == 0);
}

// The parameters to use for a caller's given struct (null: every default).
template <class P>
P params_or_defaults(const P* given, const P& defaults, const char* type) {
    check_params_shape<P>();
    P used = defaults;
    if (!given) return used;
    check_struct_size(given->struct_size, sizeof(P), type);
    std::memcpy(&used, given, std::min<size_t>(given->struct_size, sizeof(P)));  // as checked
    used.struct_size = sizeof(P);
    return used;
}

// The body of an rk_X_params_init export: the defaults for the struct_size
// leading bytes the caller has, struct_size set to that.
template <class P>
rk_status init_params(P* params, size_t struct_size, const P& defaults, const char* type) {
    check_params_shape<P>();
    require(params, "params");
    check_struct_size(struct_size, sizeof(P), type);
    P filled = defaults;
    filled.struct_size = static_cast<uint32_t>(struct_size);
    std::memcpy(params, &filled, std::min(struct_size, sizeof(P)));  // equal, as checked
    return RK_OK;
}

// Range checks of parameter fields, each refusing with RK_ERROR_ARGUMENT and a
// text naming the field.
void check_at_most(uint32_t value, uint32_t most, const char* field);
void check_switch(uint32_t value, const char* field);  // 0 or 1
// low <= value <= high; NaN is refused.
void check_between(float value, float low, float high, const char* field);
// low <= value <= high, or NaN (a field where NaN means "estimate it").
void check_between_or_nan(float value, float low, float high, const char* field);
// low < value <= high; NaN is refused.
void check_above(float value, float low, float high, const char* field);

}  // namespace rk
