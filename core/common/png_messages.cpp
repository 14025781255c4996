#include "common/png_messages.h"

#include <cstring>

#include "common/sink.h"

namespace rk {

void png_diag_error(png_structp png, png_const_charp text) {
    const char* message = text ? text : "";
    debug_output("pnglib error: ");
    debug_output(message);
    if (auto* keep = static_cast<PngErrorText*>(png_get_error_ptr(png))) {
        std::strncpy(keep->text, message, sizeof keep->text - 1);
        keep->text[sizeof keep->text - 1] = '\0';
    }
    png_longjmp(png, 1);
}

void png_diag_warning(png_structp, png_const_charp text) {
    debug_output("pnglib warning: ");
    debug_output(text ? text : "");
}

}  // namespace rk
