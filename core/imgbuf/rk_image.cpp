// The image functions of the rk_ interface: records made, wrapped around a
// caller's pixels, resampled or made tileable, with a status for every refusal.
#include <cstring>
#include <new>

#include "common/checked_size.h"
#include "common/rk_call.h"
#include "imgbuf/imgbuf.h"

using namespace rk;

namespace {

void check_pixel_limit(uint32_t w, uint32_t h) {
    if (!within_pixel_limit(w, h)) {
        fail(RK_ERROR_LIMIT, decimal_text(w) + " x " + decimal_text(h) +
                                 " pixels is more than RK_MAX_IMAGE_PIXELS (268435455)");
    }
    // The record's stride is 32-bit, an image without rows included: a row of
    // 2^32 bytes would wrap it, as rk_image_wrap() refuses for its stride.
    if (!checked_product(w, 16)) {
        fail(RK_ERROR_LIMIT,
             "16 * width (" + decimal_text(uint64_t{w} * 16) + ") reaches 2^32 bytes");
    }
}

}  // namespace

namespace rk {

rk_status hand_out(ImgbufPtr image, imgbuf** out, const char* made) {
    if (!image) fail(RK_ERROR_MEMORY, std::string("no memory for ") + made);
    *out = image.release();
    return RK_OK;
}

void check_filled_source(const imgbuf* img, const char* name) {
    check_source(img, name);
    if (img->width == 0 || img->height == 0) {
        fail(RK_ERROR_ARGUMENT, std::string(name) + " has no pixels (" + decimal_text(img->width) +
                                    " x " + decimal_text(img->height) + ")");
    }
}

void check_source(const imgbuf* img, const char* name) {
    require(img, name);
    if (!img->pixels) fail(RK_ERROR_ARGUMENT, std::string(name) + " has no pixel block");
}

void check_destination(const imgbuf* dst, const imgbuf* src, bool may_be_src,
                       const char* dst_name, const char* src_name) {
    check_source(dst, dst_name);
    if (!same_size(dst, src)) {
        fail(RK_ERROR_ARGUMENT, std::string(dst_name) + " is " + decimal_text(dst->width) +
                                    " x " + decimal_text(dst->height) + ", " + src_name + " " +
                                    decimal_text(src->width) + " x " + decimal_text(src->height));
    }
    // The very pixels of src, row for row, are a generator working in place.
    const bool same = dst->pixels == src->pixels && stride_floats(dst) == stride_floats(src);
    if (dst->width && dst->height && pixels_overlap(dst, src) && !(may_be_src && same)) {
        fail(RK_ERROR_ARGUMENT, std::string(dst_name) + " shares pixels with " + src_name);
    }
}

}  // namespace rk

extern "C" {

RK_API rk_status rk_image_create(uint32_t w, uint32_t h, imgbuf** out) noexcept {
    return rk_call("rk_image_create", [&] {
        require(out, "out");
        check_pixel_limit(w, h);
        ImgbufPtr image = make_image(w, h);
        if (image) std::memset(image->pixels, 0, size_t{w} * h * 16);
        return hand_out(std::move(image), out);
    });
}

// The record says whose pixels they are, so delete_imgbuf frees only its own.
RK_API rk_status rk_image_wrap(float* pixels, uint32_t w, uint32_t h, size_t stride_bytes,
                               imgbuf** out) noexcept {
    return rk_call("rk_image_wrap", [&] {
        require(out, "out");
        require(pixels, "pixels");
        if (reinterpret_cast<uintptr_t>(pixels) % kPixelAlign != 0) {
            fail(RK_ERROR_ARGUMENT, "pixels are not 16-byte aligned");
        }
        if (stride_bytes % kPixelAlign != 0) {
            fail(RK_ERROR_ARGUMENT,
                 "stride_bytes " + decimal_text(stride_bytes) + " is not a multiple of 16");
        }
        if (stride_bytes < uint64_t{w} * 16) {
            fail(RK_ERROR_ARGUMENT, "stride_bytes " + decimal_text(stride_bytes) +
                                        " is less than 16 * width (" +
                                        decimal_text(uint64_t{w} * 16) + ")");
        }
        check_pixel_limit(w, h);
        // Every size of the record is 32-bit, imgbuf_buf_size() included.
        if (!checked_product(stride_bytes, h > 0 ? h : 1)) {
            fail(RK_ERROR_LIMIT, "stride_bytes * height reaches 2^32 bytes");
        }
        ImgbufPtr image(new imgbuf{kImgbufHeadGuard, w, h, pixels, kImgbufTailGuard,
                                   static_cast<uint32_t>(stride_bytes) | kBorrowedPixels});
        return hand_out(std::move(image), out);
    });
}

RK_API void rk_image_free(imgbuf* image) noexcept {
    ImgbufDeleter{}(image);
}

RK_API uint32_t rk_image_width(const imgbuf* image) noexcept {
    return image ? image->width : 0;
}

RK_API uint32_t rk_image_height(const imgbuf* image) noexcept {
    return image ? image->height : 0;
}

RK_API size_t rk_image_stride(const imgbuf* image) noexcept {
    return image ? size_t{stride_floats(image)} * 4 : 0;
}

RK_API float* rk_image_pixels(const imgbuf* image) noexcept {
    return image ? image->pixels : nullptr;
}

RK_API rk_status rk_image_resample(const imgbuf* src, uint32_t w, uint32_t h,
                                   imgbuf** out) noexcept {
    return rk_call("rk_image_resample", [&] {
        check_source(src, "src");
        require(out, "out");
        check_pixel_limit(w, h);
        // imgbuf_resample() makes an empty source's pixels white; here they
        // are refused, as by every map.
        if (w != 0 && h != 0) check_filled_source(src, "src");
        return hand_out(ImgbufPtr(imgbuf_resample(src, w, h)), out, "the resampled image");
    });
}

RK_API rk_status rk_make_tileable(const imgbuf* src, float width_fraction,
                                  imgbuf** out) noexcept {
    return rk_call("rk_make_tileable", [&] {
        check_source(src, "src");
        require(out, "out");
        if (src->width == 0 || src->height == 0) fail(RK_ERROR_ARGUMENT, "src has no pixels");
        if (!(width_fraction > 0.0f && width_fraction <= 0.5f)) {
            fail(RK_ERROR_ARGUMENT, "width_fraction is not in (0, 0.5]");
        }
        return hand_out(ImgbufPtr(make_tileable(src, width_fraction)), out, "the tileable image");
    });
}

}  // extern "C"
