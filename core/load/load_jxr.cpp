// Placeholder until the reader lands.
#include "load/readers.h"

namespace rk {

ImgbufPtr load_jxr(std::u16string_view) { return nullptr; }

}  // namespace rk
