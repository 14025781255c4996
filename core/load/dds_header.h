// The fields of a DDS file header that the reader uses.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "load/dds_formats.h"

namespace rk {

// The magic word and the 124-byte DDS_HEADER.
inline constexpr uint32_t kDdsHeaderBytes = 128;
using DdsHeaderBytes = std::array<uint8_t, kDdsHeaderBytes>;

struct DdsHeader {
    uint32_t magic;
    uint32_t header_size;
    uint32_t height;
    uint32_t width;
    DdsPixelFormat pixel_format;
    uint32_t caps2;
};

DdsHeader parse_dds_header(const DdsHeaderBytes& raw) noexcept;

// True when magic and structure sizes are right and the file has no DX10
// extension; otherwise false with the reason in message.
bool check_dds_header(const DdsHeader& header, std::u16string& message);

}  // namespace rk
