// Our side of every comparison, each operation as the library runs it.
#pragma once

#include <string>

#include "filter/kernels.h"
#include "imgbuf/imgbuf.h"

namespace rkbench::ours {

// Final smoothing of that kind and size, in place.
void smooth(imgbuf* img, rk::KernelKind kind, uint32_t size);

// Detail filter, in place.
void detail(imgbuf* img, uint32_t size, float threshold);

// The exported generators with the settings of settings.h.
rk::ImgbufPtr heightmap(const imgbuf* photo);
rk::ImgbufPtr normalmap(const imgbuf* height);

// load_image and core_saveimage_png on a path of ASCII characters.
rk::ImgbufPtr load(const std::string& path);
void save_png(const std::string& path, const imgbuf* img);

}  // namespace rkbench::ours
