// The image record as the library sees it, and the single-owner handle that
// every temporary or half-built image lives in.
#pragma once

#include <cstdint>
#include <memory>

#include "reliefkit.h"

struct imgbuf {
    uint32_t head_guard;
    uint32_t width;
    uint32_t height;
    float* pixels;
    uint32_t tail_guard;
};
// The layout is fixed (32 bytes on x86-64) so that debuggers and tools that
// read the record see the same fields in every build.
static_assert(sizeof(imgbuf) == 32, "the record's layout is fixed at 32 bytes");

namespace rk {

inline constexpr uint32_t kImgbufHeadGuard = 0x49CEBAFD;
inline constexpr uint32_t kImgbufTailGuard = 0xBAFD49CE;
inline constexpr uint32_t kPixelAlign = 16;

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

inline uint32_t stride_floats(const imgbuf* img) noexcept {
    return img->width * 4u;
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

}  // namespace rk
