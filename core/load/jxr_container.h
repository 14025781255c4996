// The JPEG XR container check that runs before jxrlib sees a file.
//
// jxrlib trusts the container's directory: it asserts on values and metadata
// forms it does not expect, follows metadata sub-directories without end, and
// seeks to whatever offsets the entries name. The reader decodes only 24-bit BGR
// images, so a file is handed to jxrlib only when its directory is well formed,
// every entry's data lies inside the file, the tags jxrlib interprets have the
// type, count and (for text and captions) terminator it expects, the pixel
// format is 24-bit BGR, the codestream header at the image offset agrees and the
// picture is within the pixel limit.
#pragma once

#include <cstdint>

#include "common/byte_source.h"

namespace rk {

// What made a container unfit for jxrlib; none when it may be handed over.
enum class JxrFault {
    none,
    header,        // not "II", 0xBC, version 0 or 1, or a first directory outside the file
    directory,     // entry count 0 or 0xFFFF, entries past the end, sub-directories too deep
    entry,         // unknown field type, or data that overflows or lies outside the file
    tag,           // a tag jxrlib interprets with the wrong type, count or value
    pixel_format,  // missing, or not 24-bit BGR
    image_data,    // image offset or byte count missing, zero or outside the file
    alpha_data,    // alpha offset and byte count not both present, non-zero, inside
    codestream,    // no codestream header at the image offset, or one that is not RGB 8-bit
    image_size,    // width or height entry missing or zero, or more than RK_MAX_IMAGE_PIXELS
};

// The verdict, and for an accepted container the picture size its entries state.
struct JxrContainer {
    JxrFault fault = JxrFault::none;
    uint32_t width = 0;
    uint32_t height = 0;
};

JxrContainer check_jxr_container(ByteSource& file) noexcept;

}  // namespace rk
