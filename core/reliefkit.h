/* reliefkit: relief textures from photographs.
 *
 * Loads PNG, JPEG, JPEG XR, DDS and TGA into one four-channel float image,
 * derives a grey height map from a photo and a tangent-space normal map from a
 * height map, and writes 8-bit RGB PNG.
 *
 * Every function here is plain C, never throws, and takes UTF-16 paths
 * (null-terminated char16_t strings, the same code units a Windows host passes).
 * Every image a function returns is new and belongs to the caller, who releases
 * it with delete_imgbuf(). */
#ifndef RELIEFKIT_H
#define RELIEFKIT_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#include "reliefkit_version.h"

#if defined(RELIEFKIT_BUILDING)
#define RK_API __attribute__((visibility("default")))
#else
#define RK_API
#endif

#ifdef __cplusplus
#define RK_NOEXCEPT noexcept
extern "C" {
#else
#define RK_NOEXCEPT
#endif

/* ===================================================================== */
/* The image record                                                      */
/* ===================================================================== */

/* Width x height pixels of four floats (R, G, B, A), row 0 at the top, rows
 * packed with no gap in one 16-byte-aligned block. Opaque to hosts. */
typedef struct imgbuf imgbuf;

/* ===================================================================== */
/* Lifecycle                                                             */
/* ===================================================================== */

/* Creates the blur-kernel caches; call once before the generators. A second
 * call without cleanup() keeps the existing caches. */
RK_API void init(void) RK_NOEXCEPT;
/* Releases the caches and every kernel built; harmless when repeated. */
RK_API void cleanup(void) RK_NOEXCEPT;

/* ===================================================================== */
/* Image record: creation and accessors                                  */
/* ===================================================================== */

/* New w x h image with undefined pixels; the caller frees it with delete_imgbuf().
 * Null when the pixel block cannot be had (including w * h * 16 >= 2^32 bytes). */
RK_API imgbuf* create_imgbuf(uint32_t w, uint32_t h) RK_NOEXCEPT;
/* Frees the image and its pixels; null is ignored. */
RK_API void delete_imgbuf(imgbuf* img) RK_NOEXCEPT;

/* Channels per pixel: always 4. */
RK_API uint32_t imgbuf_channels(void) RK_NOEXCEPT;
/* Alignment of the pixel block in bytes: always 16. */
RK_API uint32_t imgbuf_alignment(void) RK_NOEXCEPT;
/* Bytes per pixel: always 16 (the same function as imgbuf_alignment). */
RK_API uint32_t imgbuf_elem_size(void) RK_NOEXCEPT;
/* Width in pixels. */
RK_API uint32_t imgbuf_w(const imgbuf* img) RK_NOEXCEPT;
/* Height in rows. */
RK_API uint32_t imgbuf_h(const imgbuf* img) RK_NOEXCEPT;
/* The pixel block, owned by the image; null when it could not be allocated. */
RK_API float* imgbuf_buf(const imgbuf* img) RK_NOEXCEPT;
/* Bytes per row: width * 16. */
RK_API uint32_t imgbuf_stride_in_bytes(const imgbuf* img) RK_NOEXCEPT;
/* Floats per row: width * 4. */
RK_API uint32_t imgbuf_stride_in_elems(const imgbuf* img) RK_NOEXCEPT;
/* Bytes of the pixel block: stride * height. */
RK_API uint32_t imgbuf_buf_size(const imgbuf* img) RK_NOEXCEPT;
/* First float of row y; null when y >= height or the image has no pixels. */
RK_API float* imgbuf_row(const imgbuf* img, uint32_t y) RK_NOEXCEPT;
/* Sets every float of the image, alpha included, to 0.0. */
RK_API void imgbuf_clear(imgbuf* img) RK_NOEXCEPT;
/* Copies src's pixels into dst when both have the same width and height;
 * otherwise does nothing. */
RK_API void copy_imgbuf_content(imgbuf* dst, const imgbuf* src) RK_NOEXCEPT;

/* ===================================================================== */
/* Pixel operations                                                      */
/* ===================================================================== */

/* Sets channel (0 red, 1 green, 2 blue, 3 alpha) of every pixel to value;
 * a channel above 3 does nothing. */
RK_API void imgbuf_set_channel(imgbuf* img, uint32_t channel, float value) RK_NOEXCEPT;
/* New image of (L, L, L, 1) with L = 0.299 R + 0.587 G + 0.114 B, unclamped;
 * null when it cannot be allocated. */
RK_API imgbuf* calc_luminance(const imgbuf* src) RK_NOEXCEPT;
/* Replaces every pixel by (L, L, L, 1), computed on channels clamped to [0, 1]. */
RK_API void calc_luminance_inplace(imgbuf* img) RK_NOEXCEPT;
/* Writes row y as w pixels of bytes B, G, R, 255 into dst (at least 4 * w bytes);
 * values map 0..1 to 0..255, saturating; y >= height writes nothing. */
RK_API void imgbuf_convertline_b8g8r8x8(uint8_t* dst, const imgbuf* src, uint32_t y) RK_NOEXCEPT;
/* New w x h image resampled bilinearly, corners onto corners; null when it
 * cannot be allocated. */
RK_API imgbuf* imgbuf_resample(const imgbuf* src, uint32_t w, uint32_t h) RK_NOEXCEPT;

/* ===================================================================== */
/* Loading                                                               */
/* ===================================================================== */

/* Reads a PNG, JPEG, JPEG XR, DDS or TGA file into a new image (values 0..1,
 * alpha 1 where the file has none); null on failure, with the reasons sent to
 * the diagnostics sink. */
RK_API imgbuf* load_image(const char16_t* path) RK_NOEXCEPT;

/* ===================================================================== */
/* Saving                                                                */
/* ===================================================================== */

/* Writes img as an 8-bit RGB PNG (alpha dropped). The outcome goes to msg
 * (capacity in char16_t, terminator included): empty on success, the reason
 * otherwise; an existing file survives a failed save. */
RK_API void core_saveimage_png(char16_t* msg, int32_t capacity, const char16_t* path,
                               const imgbuf* img) RK_NOEXCEPT;
/* As core_saveimage_png, with the file's red, green and blue taken from the
 * image channels chosen by r, g, b (0 red, 1 green, anything else blue). */
RK_API void core_saveimage_nmap_png(char16_t* msg, int32_t capacity, const char16_t* path,
                                    const imgbuf* img, int32_t r, int32_t g, int32_t b) RK_NOEXCEPT;

/* ===================================================================== */
/* Generators                                                            */
/* ===================================================================== */

/* Flags of calc_heightmap_from_photo. */
#define HM_AUTO_LEVELS 1u
#define HM_INVERT_RED 2u
#define HM_INVERT_GREEN 4u
#define HM_INVERT_BLUE 8u
#define HM_CLAMP 16u
#define HM_DETAIL_FILTER 32u
#define HM_SMOOTH 128u

/* New grey height map of src: colour-to-height by mode (0 red, 1 green, 2 blue,
 * 3 red-green, 4 red-blue, 5 green-blue, 6 average, 7 luminance), then the
 * steps that flags switch on. smooth_kind: 0 Gaussian, 1 box, 2 tent. Null for
 * mode > 7, a null src or when memory runs out. */
RK_API imgbuf* calc_heightmap_from_photo(const imgbuf* src, uint32_t mode, uint32_t flags,
                                         float midpoint, float clamp_low, float clamp_high,
                                         uint32_t detail_size, float detail_threshold,
                                         float weight1, float weight2, float weight3,
                                         uint32_t smooth_size, uint32_t smooth_kind) RK_NOEXCEPT;
/* New tangent-space normal map from the red channel of heightmap. strength is
 * clamped to 1..10; blur_kind: 1 box, 2 tent, other Gaussian; blur_size below 3
 * means no blur. Null for a null source or when memory runs out. */
RK_API imgbuf* calc_normalmap_from_heightmap(const imgbuf* heightmap, int32_t invert_x,
                                             int32_t invert_y, uint32_t strength,
                                             uint32_t center_tap, uint32_t blur_size,
                                             uint32_t blur_kind) RK_NOEXCEPT;

/* Edge modes of the _ex generators: clamp reads the edge pixel beyond the
 * image (as the generators above); wrap reads across the opposite edge, for
 * textures that tile. */
#define RK_EDGE_CLAMP 0u
#define RK_EDGE_WRAP 1u
/* Height mode of calc_heightmap_from_photo_ex beside modes 0..7: heights from
 * the surface's shading with the light and the colour taken out. */
#define HM_MODE_DELIT 8u
/* What the de-lit mode does and assumes: the luminance is divided by its local
 * mean (a blur of 1/16 of the larger side), which takes out the
 * colour and the illumination that vary slowly, leaving the shading. When the
 * shading's spectrum shows one light direction, the shading is read as the
 * relief's slope along it (Lambert's law under a light from one side) and
 * integrated by a regularised Fourier solve; the light is taken to come from
 * above or from the left (a bump lit from below looks like a hollow lit from
 * above, and the photograph cannot tell which). Where the light is even
 * (overcast), the shading itself gives the heights, cavities being darker. The
 * result spans 0..1 (so HM_AUTO_LEVELS has nothing to do). HM_SMOOTH smooths
 * within the solve, by a Gaussian of sigma smooth_size / 3 (smooth_kind is not
 * used); the midpoint curve and HM_CLAMP apply as in the other modes; the three
 * invert flags together turn the relief upside down, fewer are ignored; the
 * detail filter is not used; the weights only as a whole (all zero gives a black
 * map). RK_EDGE_WRAP treats the image as periodic (exactly when no side has a
 * prime factor above 97, else by padding it with its own continuation); clamp
 * takes the surface as flat past the edges. Deterministic; costs about twice
 * the luminance mode with its default steps (two Fourier transforms). */

/* As calc_heightmap_from_photo, with modes 0..8 and an edge mode; null for an
 * unknown mode or edge mode. */
RK_API imgbuf* calc_heightmap_from_photo_ex(const imgbuf* src, uint32_t mode, uint32_t flags,
                                            float midpoint, float clamp_low, float clamp_high,
                                            uint32_t detail_size, float detail_threshold,
                                            float weight1, float weight2, float weight3,
                                            uint32_t smooth_size, uint32_t smooth_kind,
                                            uint32_t edge_mode) RK_NOEXCEPT;
/* As calc_normalmap_from_heightmap, with an edge mode; null for an unknown one. */
RK_API imgbuf* calc_normalmap_from_heightmap_ex(const imgbuf* heightmap, int32_t invert_x,
                                                int32_t invert_y, uint32_t strength,
                                                uint32_t center_tap, uint32_t blur_size,
                                                uint32_t blur_kind, uint32_t edge_mode) RK_NOEXCEPT;

/* ===================================================================== */
/* Diagnostics                                                           */
/* ===================================================================== */

/* Receives each diagnostic text (UTF-8, no line break added) with user. */
typedef void (*rk_debug_sink)(const char* utf8_text, void* user);
/* Installs the process-wide diagnostics sink; null (the default) discards. */
RK_API void set_debug_output(rk_debug_sink sink, void* user) RK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* RELIEFKIT_H */
