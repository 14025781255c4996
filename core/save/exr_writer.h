// An image as a scanline OpenEXR file, written with OpenEXR's core library.
//
// One-channel maps (height, occlusion) are a single Y channel, which OpenCV
// and Blender read as grey; colour and normal maps are R, G, B (and A).
// Heights want the 32-bit float channel, since a half float keeps only 11
// significant bits; the other maps lose nothing visible as half floats. Zip
// compression (lossless, 16 rows a chunk) is what every reader supports.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"
#include "save/save_outcome.h"

namespace rk {

enum class ExrLayout : uint8_t { y, rgb, rgba };  // y: the image's red channel
enum class ExrSample : uint8_t { half, float32 };
enum class ExrCompression : uint8_t { zip, none };

struct ExrOptions {
    ExrLayout layout = ExrLayout::rgb;
    ExrSample sample = ExrSample::half;
    ExrCompression compression = ExrCompression::zip;
};

// Encodes img (at least 1 x 1) and hands the whole file to sink. Values are
// written as they are (a half float rounds to the nearest, and values past
// 65504 become infinite). The chunks are compressed on the library's threads;
// the bytes are the same for every thread count. Never throws.
SaveOutcome write_exr(const imgbuf* img, const ExrOptions& options, FunctionSink& sink) noexcept;

}  // namespace rk
