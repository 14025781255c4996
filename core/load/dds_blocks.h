// Row decoders of the block-compressed DDS layouts (DXT1, DXT3, DXT5). Each fills
// the pixels of row of blocks `index` that lie inside the image, partial blocks at
// the right and bottom edges included; see DdsDecodeFn.
#pragma once

#include <cstdint>

#include "imgbuf/imgbuf.h"

namespace rk::dds {

void decode_dxt1_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept;
void decode_dxt3_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept;
void decode_dxt5_row(imgbuf* img, uint32_t index, const uint8_t* source) noexcept;

}  // namespace rk::dds
