// The image record as the library sees it, and the single-owner handle that
// every temporary or half-built image lives in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "reliefkit.h"

struct imgbuf {
    uint32_t head_guard;
    uint32_t width;
    uint32_t height;
    float* pixels;
    uint32_t tail_guard;
    // In what was the record's tail padding: the bytes from one row to the next
    // (a multiple of 16, at least 16 * width), its low four bits free for flags
    // (kBorrowedPixels). 0 stands for rows of 16 * width bytes and pixels the
    // record owns, as in records made before rows had a stride and in those
    // hosts build (they leave the padding zero).
    uint32_t layout = 0;
};
// The layout is fixed (32 bytes on x86-64) so that debuggers and tools that
// read the record see the same fields in every build.
static_assert(sizeof(imgbuf) == 32, "the record's layout is fixed at 32 bytes");
static_assert(offsetof(imgbuf, pixels) == 16 && offsetof(imgbuf, layout) == 28);

namespace rk {

inline constexpr uint32_t kImgbufHeadGuard = 0x49CEBAFD;
inline constexpr uint32_t kImgbufTailGuard = 0xBAFD49CE;
inline constexpr uint32_t kPixelAlign = 16;
// In imgbuf::layout: the pixels belong to the caller (rk_image_wrap), so freeing
// the record leaves them.
inline constexpr uint32_t kBorrowedPixels = 1;
inline constexpr uint32_t kLayoutFlags = 15;

// The pixel block of a w x h record the library allocates itself (from the
// block cache: see common/block_cache.h), or null when it cannot be had or would
// reach 2^32 bytes; undefined contents. Only a block of this function may go
// back through release_pixel_block, with the same w and h.
float* acquire_pixel_block(uint32_t w, uint32_t h) noexcept;
void release_pixel_block(float* pixels, uint32_t w, uint32_t h) noexcept;

// Initialises a zero-filled record and allocates its pixel block; the block stays
// null when it cannot be had or would reach 2^32 bytes. Never throws.
imgbuf* construct_imgbuf(imgbuf* rec, uint32_t w, uint32_t h) noexcept;

struct ImgbufDeleter {
    void operator()(imgbuf* img) const noexcept;
};
// Move-only owner: releases pixels, then the record, on every path.
using ImgbufPtr = std::unique_ptr<imgbuf, ImgbufDeleter>;

// A new w x h image, or null when its record or pixel block cannot be had. Images
// that are handed back to a host or filled by a loop are made through this, so no
// caller ever sees a record without pixels.
ImgbufPtr make_image(uint32_t w, uint32_t h) noexcept;

// Floats from one row to the next.
inline uint32_t stride_floats(const imgbuf* img) noexcept {
    const uint32_t bytes = img->layout & ~kLayoutFlags;
    return bytes ? bytes / 4u : img->width * 4u;
}

// Whether the rows follow each other without a gap, so that the pixels are one
// run of width * height pixels.
inline bool rows_packed(const imgbuf* img) noexcept {
    return stride_floats(img) == img->width * 4u;
}

// Row y without the bounds test, for loops that already know y < height and that
// the image has pixels.
inline float* row_unchecked(const imgbuf* img, uint32_t y) noexcept {
    return img->pixels + static_cast<size_t>(y) * stride_floats(img);
}

inline bool has_pixels(const imgbuf* img) noexcept {
    return img && img->pixels;
}

inline bool same_size(const imgbuf* a, const imgbuf* b) noexcept {
    return a->width == b->width && a->height == b->height;
}

// Copies src's pixels into dst, which has the same size, row by row (each
// image's padding, if any, is left alone).
void copy_pixels(imgbuf* dst, const imgbuf* src) noexcept;

// Whether the pixel rows of a and b may share memory: such images cannot be a
// generator's source and destination.
bool pixels_overlap(const imgbuf* a, const imgbuf* b) noexcept;

// For an rk_ export that writes into a caller's image: refuses (RK_ERROR_ARGUMENT,
// as a Failure of common/rk_call.h) a dst whose size differs from src's or whose
// pixels overlap src's, unless may_be_src and they are src's own (in place).
// The message names them as the export's parameters are named.
void check_destination(const imgbuf* dst, const imgbuf* src, bool may_be_src = false,
                       const char* dst_name = "dst", const char* src_name = "src");
// Refuses a null image, or a record without a pixel block, named name.
void check_source(const imgbuf* img, const char* name);
// The same, and an image 0 wide or high: a source no map can be made of.
void check_filled_source(const imgbuf* img, const char* name);
// Sets *out to image and answers RK_OK; RK_ERROR_MEMORY (a Failure) for a null
// image, which the generators give only for want of memory: "no memory for
// " + made, made naming the whole of what was being made (a generator's null
// may come from its working memory as well as from the image's pixels).
rk_status hand_out(ImgbufPtr image, imgbuf** out, const char* made = "the image");

}  // namespace rk
