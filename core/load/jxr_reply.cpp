#include "load/jxr_reply.h"

#include "common/checked_size.h"
#include "load/jxr_reply_format.h"
#include "load/row_batches.h"

namespace rk {
namespace {

constexpr const char* kUnreadable = "unreadable reply from the decoder";

// The helper's refusals by what they mean: the data is damaged, a variant the
// reader does not take, more memory than the helper may use, or a helper that
// could not take its input.
rk_status refusal_status(uint32_t status) noexcept {
    switch (static_cast<JxrReplyStatus>(status)) {
        case JxrReplyStatus::not_bgr24:
            return RK_ERROR_UNSUPPORTED;
        case JxrReplyStatus::out_of_memory:
            return RK_ERROR_LIMIT;
        case JxrReplyStatus::bad_request:
            return RK_ERROR_HELPER;
        default:
            return RK_ERROR_DAMAGED;
    }
}

const char* status_reason(uint32_t status) noexcept {
    switch (static_cast<JxrReplyStatus>(status)) {
        case JxrReplyStatus::refused:
            return "jxrlib refused the container or codestream header";
        case JxrReplyStatus::not_bgr24:
            return "the pixel format is not 24-bit BGR";
        case JxrReplyStatus::size_differs:
            return "the codestream's size differs from the container's";
        case JxrReplyStatus::damaged:
            return "the tile data is damaged";
        case JxrReplyStatus::out_of_memory:
            return "the decoder ran out of memory";
        case JxrReplyStatus::bad_request:
            return "the decoder could not take its input";
        case JxrReplyStatus::decoded:
            break;
    }
    return kUnreadable;
}

// Integer samples become floats by one single-precision division by 255, the
// same operations in the same order as every other 8-bit reader.
void convert_bgr_row(const uint8_t* src, float* dst, uint32_t width) noexcept {
    for (uint32_t x = 0; x < width; ++x, src += 3, dst += 4) {
        dst[0] = static_cast<float>(src[2]) / 255.0f;
        dst[1] = static_cast<float>(src[1]) / 255.0f;
        dst[2] = static_cast<float>(src[0]) / 255.0f;
        dst[3] = 1.0f;
    }
}

// The whole reply is one batch of rows, converted in bands on the library's threads.
void convert_bgr_rows(const uint8_t* src, imgbuf* image) noexcept {
    const uint32_t width = image->width;
    convert_batch(src, width * 3, 0, image->height, kMinThreadRows,
                  [=](uint32_t y, const uint8_t* stored) noexcept {
                      convert_bgr_row(stored, row_unchecked(image, y), width);
                  });
}

}  // namespace

ImgbufPtr image_from_jxr_reply(std::span<const uint8_t> reply, uint32_t width, uint32_t height,
                               const char*& reason, rk_status* status) {
    rk_status ignored = RK_OK;
    rk_status& outcome = status ? *status : ignored;
    reason = kUnreadable;
    outcome = RK_ERROR_HELPER;
    JxrReplyHeader h;
    if (reply.size() < kJxrReplyHeaderBytes || !decode_jxr_reply_header(reply.data(), h)) {
        return nullptr;
    }
    const uint64_t payload = reply.size() - kJxrReplyHeaderBytes;
    if (h.status != static_cast<uint32_t>(JxrReplyStatus::decoded)) {
        if (h.status < kJxrReplyStatusCount && h.payload_bytes == 0 && payload == 0) {
            reason = status_reason(h.status);
            outcome = refusal_status(h.status);
        }
        return nullptr;
    }
    const auto expected = checked_product(width, height, 3);
    if (h.width != width || h.height != height || width == 0 || height == 0 || !expected ||
        !image_bytes(width, height) || h.payload_bytes != *expected || payload != *expected) {
        return nullptr;
    }
    ImgbufPtr image = make_image(width, height);
    if (!image) {
        reason = "not enough memory for the image";
        outcome = RK_ERROR_MEMORY;
        return nullptr;
    }
    convert_bgr_rows(reply.data() + kJxrReplyHeaderBytes, image.get());
    reason = nullptr;
    outcome = RK_OK;
    return image;
}

}  // namespace rk
