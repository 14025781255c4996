#include "imgbuf/imgbuf.h"

#include <cstring>
#include <new>
#include <utility>

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
    // A row counts on its own: with no rows the 32-bit stride would still wrap
    // (rk_image_create() refuses such a width too).
    if (!image_bytes(w, h) || !image_bytes(w, 1)) return nullptr;
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
    rec->layout = 0;
    rec->pixels = acquire_pixel_block(w, h);
    return rec;
}

void ImgbufDeleter::operator()(imgbuf* img) const noexcept {
    if (!img) return;
    // A borrowed block is the caller's: only the record goes.
    if (!(img->layout & kBorrowedPixels)) release_pixel_block(img->pixels, img->width, img->height);
    delete img;
}

void copy_pixels(imgbuf* dst, const imgbuf* src) noexcept {
    const size_t row_bytes = size_t{src->width} * 16;
    if (rows_packed(dst) && rows_packed(src)) {
        std::memcpy(dst->pixels, src->pixels, row_bytes * src->height);
        return;
    }
    for (uint32_t y = 0; y < src->height; ++y)
        std::memcpy(row_unchecked(dst, y), row_unchecked(src, y), row_bytes);
}

bool pixels_overlap(const imgbuf* a, const imgbuf* b) noexcept {
    const auto span = [](const imgbuf* img) {
        const auto first = reinterpret_cast<uintptr_t>(img->pixels);
        const uint64_t rows = img->height ? img->height - 1 : 0;
        return std::pair{first, first + rows * stride_floats(img) * 4 + uint64_t{img->width} * 16};
    };
    const auto [a0, a1] = span(a);
    const auto [b0, b1] = span(b);
    return a0 < b1 && b0 < a1;
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
    return stride_floats(img) * 4u;
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

// A wrapped image's padding belongs to its caller: only pixels are written.
RK_API void imgbuf_clear(imgbuf* img) noexcept {
    if (!img->pixels) return;
    if (rows_packed(img)) {
        std::memset(img->pixels, 0, imgbuf_buf_size(img));
        return;
    }
    for (uint32_t y = 0; y < img->height; ++y)
        std::memset(row_unchecked(img, y), 0, size_t{img->width} * 16);
}

RK_API void copy_imgbuf_content(imgbuf* dst, const imgbuf* src) noexcept {
    if (!same_size(dst, src) || !dst->pixels || !src->pixels) return;
    copy_pixels(dst, src);
}

}  // extern "C"
