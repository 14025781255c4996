// Placeholder until the reader lands.
#include "load/readers.h"

namespace rk {

ImgbufPtr load_dds(std::u16string_view, std::u16string&) { return nullptr; }

}  // namespace rk
