#include "imgbuf/imgbuf.h"

#include <cstring>
#include <new>

#include "common/block_cache.h"
#include "common/checked_size.h"
#include "common/export_boundary.h"

namespace rk {
namespace {

// The bytes of a record's own pixel block: an empty image still gets a (never
// addressed) block so that it counts as allocated.
size_t pixel_block_bytes(uint32_t w, uint32_t h) noexcept {
    const auto bytes = image_bytes(w, h);
    return bytes && *bytes ? *bytes : kPixelAlign;
}

}  // namespace

float* acquire_pixel_block(uint32_t w, uint32_t h) noexcept {
    // Sizes at or past 2^32 bytes would wrap the record's 32-bit arithmetic and
    // give a block smaller than its rows: such an image gets no pixels at all.
    if (!image_bytes(w, h)) return nullptr;
    return static_cast<float*>(acquire_block(pixel_block_bytes(w, h)));
}

void release_pixel_block(float* pixels, uint32_t w, uint32_t h) noexcept {
    release_block(pixels, pixel_block_bytes(w, h));
}

imgbuf* construct_imgbuf(imgbuf* rec, uint32_t w, uint32_t h) noexcept {
    rec->head_guard = kImgbufHeadGuard;
    rec->width = w;
    rec->height = h;
    rec->tail_guard = kImgbufTailGuard;
    rec->pixels = acquire_pixel_block(w, h);
    return rec;
}

void ImgbufDeleter::operator()(imgbuf* img) const noexcept {
    if (!img) return;
    release_pixel_block(img->pixels, img->width, img->height);
    delete img;
}

ImgbufPtr make_image(uint32_t w, uint32_t h) noexcept {
    ImgbufPtr img(new (std::nothrow) imgbuf{});
    if (!img) return nullptr;
    construct_imgbuf(img.get(), w, h);
    if (!img->pixels) return nullptr;
    return img;
}

}  // namespace rk

using namespace rk;

extern "C" {

RK_API imgbuf* create_imgbuf(uint32_t w, uint32_t h) noexcept {
    return make_image(w, h).release();
}

RK_API void delete_imgbuf(imgbuf* img) noexcept {
    ImgbufDeleter{}(img);
}

RK_API uint32_t imgbuf_channels(void) noexcept {
    return 4;
}

RK_API uint32_t imgbuf_alignment(void) noexcept {
    return kPixelAlign;
}

// One function under two names, as the pixel size and the block alignment are
// the same number by design.
RK_API uint32_t imgbuf_elem_size(void) noexcept __attribute__((alias("imgbuf_alignment")));

RK_API uint32_t imgbuf_w(const imgbuf* img) noexcept {
    return img->width;
}

RK_API uint32_t imgbuf_h(const imgbuf* img) noexcept {
    return img->height;
}

RK_API float* imgbuf_buf(const imgbuf* img) noexcept {
    return img->pixels;
}

RK_API uint32_t imgbuf_stride_in_bytes(const imgbuf* img) noexcept {
    return (img->width * 16u + 15u) & ~15u;
}

RK_API uint32_t imgbuf_stride_in_elems(const imgbuf* img) noexcept {
    return (imgbuf_stride_in_bytes(img) >> 2) & 0x3FFFFFFCu;
}

RK_API uint32_t imgbuf_buf_size(const imgbuf* img) noexcept {
    return imgbuf_stride_in_bytes(img) * img->height;
}

RK_API float* imgbuf_row(const imgbuf* img, uint32_t y) noexcept {
    if (!img->pixels || y >= img->height) return nullptr;
    return row_unchecked(img, y);
}

RK_API void imgbuf_clear(imgbuf* img) noexcept {
    if (img->pixels) std::memset(img->pixels, 0, imgbuf_buf_size(img));
}

RK_API void copy_imgbuf_content(imgbuf* dst, const imgbuf* src) noexcept {
    if (!same_size(dst, src) || !dst->pixels || !src->pixels) return;
    std::memcpy(dst->pixels, src->pixels, imgbuf_buf_size(src));
}

}  // extern "C"
