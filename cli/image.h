// Single owner of an image the library hands out.
#pragma once

#include <memory>

#include "reliefkit.h"

namespace rkcli {

struct ImageDeleter {
    void operator()(imgbuf* image) const noexcept { delete_imgbuf(image); }
};
using Image = std::unique_ptr<imgbuf, ImageDeleter>;

}  // namespace rkcli
