// The library's reading of a reply from the JPEG XR decoding helper. The helper
// decodes untrusted data and may have been subverted by it, so nothing in the
// reply is believed before it is checked against what the library expects.
#pragma once

#include <cstdint>
#include <span>

#include "imgbuf/imgbuf.h"

namespace rk {

// The image of a complete reply for a picture of width x height (the sizes the
// container check found), converted to float RGBA. Null for any other reply, with
// reason set to why: a refusal the helper reports, or an unreadable reply (bad
// header, unknown status, wrong size or length, bytes missing or left over); and
// *status (when given) to what that means (RK_OK with an image).
ImgbufPtr image_from_jxr_reply(std::span<const uint8_t> reply, uint32_t width, uint32_t height,
                               const char*& reason, rk_status* status = nullptr);

}  // namespace rk
