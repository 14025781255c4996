// libpng's error and warning callbacks, shared by the PNG reader and writer.
//
// Every libpng call of the library runs inside a function that has set libpng's
// recovery point (setjmp on png_jmpbuf) and holds no object with a destructor:
// the error callback ends with a longjmp back to that point.
#pragma once

#include <png.h>

namespace rk {

// The text of a libpng error, for a caller that reports it itself. A plain record
// so that it can live in the frames a longjmp leaves; hand it to libpng as the
// error pointer.
struct PngErrorText {
    char text[160];
};

// Sends "pnglib error: " and libpng's text to the diagnostics sink, keeps the
// text in the PngErrorText given as error pointer (if any), and jumps back to
// the recovery point. Returning to libpng would let it print to stderr and abort.
[[noreturn]] void png_diag_error(png_structp png, png_const_charp text);

// Sends "pnglib warning: " and libpng's text to the sink; libpng goes on.
void png_diag_warning(png_structp png, png_const_charp text);

}  // namespace rk
