/* reliefkit: relief textures from photographs.
 *
 * Loads PNG, JPEG, JPEG XR, DDS and TGA into one four-channel float image,
 * derives a grey height map from a photo and a tangent-space normal map from a
 * height map, and writes 8- or 16-bit grey or RGB PNG.
 *
 * Usage
 * -----
 *     #include <reliefkit.h>
 *
 *     imgbuf* photo = load_image(u"wall.jpg");          // null on failure
 *     imgbuf* height = calc_heightmap_from_photo(photo, 7, HM_AUTO_LEVELS | HM_SMOOTH,
 *                                                0.5f, 0.0f, 1.0f, 0, 0.0f,
 *                                                1.0f, 1.0f, 1.0f, 3, 0);
 *     imgbuf* normal = calc_normalmap_from_heightmap(height, 0, 0, 2, 1, 0, 0);
 *     char16_t msg[RK_MIN_MESSAGE_CAPACITY];
 *     core_saveimage_png(msg, RK_MIN_MESSAGE_CAPACITY, u"wall_normal.png", normal);
 *     if (msg[0]) { ... msg holds the reason the file was not written ... }
 *     delete_imgbuf(normal);                            // every image the library
 *     delete_imgbuf(height);                            // returns is the caller's;
 *     delete_imgbuf(photo);                             // null is ignored
 *     cleanup();                                        // optional, at the end
 *
 * A null source makes each generator return null, so the chain above needs one
 * test at its end. examples/make_maps.c is a complete program.
 *
 * New programs: reliefkit_rk.h (included at the end of this header) offers the
 * same library under the rk_ prefix, with statuses and whole messages,
 * parameter structs, loading from memory and PNG to a callback.
 *
 * Sections of this header, in order: conventions, threading, limits, then the
 * functions (the image record, lifecycle, creation and accessors, pixel
 * operations, loading, saving, generators, the diagnostics sink).
 *
 * Conventions
 * -----------
 * - Plain C (C11 or later, for uchar.h; or C++). No function throws. Every
 *   function is exported with C linkage.
 * - Failure: a function that returns an image returns null; the savers write a
 *   reason into the caller's message buffer; functions without a result do
 *   nothing with arguments they cannot use (a channel above 3, images of
 *   different sizes). The loaders and libpng send further detail to the
 *   diagnostics sink (see set_debug_output).
 * - Ownership: every image a function returns is new and belongs to the caller,
 *   who releases it with delete_imgbuf(). Arguments are only borrowed for the
 *   call: no function keeps a pointer to an argument after it returns.
 * - Nullability: an image argument may be null only where its function says
 *   so; the accessors, imgbuf_clear() and copy_imgbuf_content() need valid
 *   images.
 * - Paths are null-terminated UTF-16 (char16_t) strings. They are converted to
 *   UTF-8 file names; a path holding an unpaired surrogate cannot be opened.
 * - Pixel values are 32-bit floats, nominally 0 to 1; nothing clamps them
 *   unless a function says so.
 *
 * Threading
 * ---------
 * - Any function may be called from any thread, and calls may run at the same
 *   time on different images, with two exceptions: cleanup() must not overlap
 *   any other call of the library (no other thread may be inside one), and an
 *   image must not be written while another call reads or writes it.
 * - A parameter of type const imgbuf* is only read, so one image may be the
 *   source of any number of concurrent calls. An image is written by the
 *   functions that take it as imgbuf* (delete_imgbuf() included) and by the
 *   caller through the pointers imgbuf_buf() and imgbuf_row() return.
 * - A call may do its work on threads of the library's own; it returns only
 *   once that work is finished, and no thread of the library touches an
 *   argument after the call has returned.
 * - Two saves to the same path may run at the same time: the file ends up as
 *   one of the two complete files, never a mixture.
 * - set_debug_output() may be called at any time, from any thread. See the
 *   diagnostics section for the threads the sink is called from.
 */
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
/* Limits                                                                */
/* ===================================================================== */

/* The largest image, in pixels (width * height), that any loader allocates:
 * 2^28 - 1, the most whose float pixels (16 bytes each) stay below 2^32 bytes,
 * so that every size of the record fits its 32-bit fields. 16383 x 16385 is
 * within it; 16384 x 16384 is one pixel over. Every loader compares the size
 * its file states with this before it allocates anything sized by it, and
 * refuses a larger picture (null, with the reason sent to the sink): a small
 * file can never make the library ask for more than 4 GiB of pixels.
 * create_imgbuf() and the generators obey the same bound. */
#define RK_MAX_IMAGE_PIXELS 268435455u

/* The smallest message buffer (in char16_t, terminator included) with which
 * every failed save reports a non-empty reason. Every reason of the savers'
 * own fits whole; a longer text from libpng is cut to fit. With a smaller
 * buffer a reason may be cut short, and with a capacity of 1 a failed save
 * leaves an empty message, which reads as success. */
#define RK_MIN_MESSAGE_CAPACITY 64

/* ===================================================================== */
/* The image record                                                      */
/* ===================================================================== */

/* Width x height pixels of four floats (R, G, B, A), row 0 at the top, in one
 * 16-byte-aligned block. In every image the library allocates the rows follow
 * each other with no gap; an image that rk_image_wrap() made over a caller's
 * pixels has rows a stride apart that may leave a gap (imgbuf_stride_in_bytes),
 * which no function reads or writes. Opaque: reach it through the accessors
 * below. */
typedef struct imgbuf imgbuf;

/* ===================================================================== */
/* Lifecycle                                                             */
/* ===================================================================== */

/* Optional. Prepares the blur-kernel caches ahead of the first generator call;
 * the generators build every kernel they need on first use whether or not
 * init() ran. A second call without cleanup() in between keeps the existing
 * caches. Failure (no memory) is silent: the caches are then built later. */
RK_API void init(void) RK_NOEXCEPT;
/* Releases the caches, every kernel built and the memory kept for reuse (see
 * delete_imgbuf); harmless when repeated, and the library stays usable
 * afterwards (kernels are built again when needed). Must not overlap any other
 * call of the library, from any thread. */
RK_API void cleanup(void) RK_NOEXCEPT;

/* ===================================================================== */
/* Image record: creation and accessors                                  */
/* ===================================================================== */

/* New w x h image (pixels) with undefined pixel values; the caller frees it
 * with delete_imgbuf(). w or h may be 0 (an image without pixels). Null when
 * w * h exceeds RK_MAX_IMAGE_PIXELS, when a row (16 * w bytes) reaches 2^32
 * bytes, h of 0 included (the stride is 32-bit), or when memory runs out. */
RK_API imgbuf* create_imgbuf(uint32_t w, uint32_t h) RK_NOEXCEPT;
/* Frees the image and its pixels (of an image from rk_image_wrap(), only the
 * record: the pixels stay the caller's); null is ignored. The image must not be
 * in use by another call. Pixel blocks of 2 MiB or more (images of 131,072
 * pixels or more) are kept for the next image or scratch block of their size
 * instead of going back to the system at once: at most 1 GiB while any
 * generator, loader, saver or resampling runs, and at most one block (the one
 * freed last) while none runs. cleanup() gives them all back. Such blocks start
 * on a 2 MiB boundary and are advised for transparent huge pages. */
RK_API void delete_imgbuf(imgbuf* img) RK_NOEXCEPT;

/* The accessors below take a valid image (never null) and return at once. */

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
/* The pixel block, owned by the image and valid until delete_imgbuf(); never
 * null for an image the library made. The pointer is writable although the
 * image is passed as const: const promises that this call does not change the
 * image, not that the caller may not. Writing through it is writing the image
 * (see the threading rules). */
RK_API float* imgbuf_buf(const imgbuf* img) RK_NOEXCEPT;
/* Bytes from one row to the next: width * 16, or the stride given to
 * rk_image_wrap(). */
RK_API uint32_t imgbuf_stride_in_bytes(const imgbuf* img) RK_NOEXCEPT;
/* Floats from one row to the next: imgbuf_stride_in_bytes() / 4. */
RK_API uint32_t imgbuf_stride_in_elems(const imgbuf* img) RK_NOEXCEPT;
/* Bytes of the pixel block: stride * height. */
RK_API uint32_t imgbuf_buf_size(const imgbuf* img) RK_NOEXCEPT;
/* First float of row y (0 at the top), writable as imgbuf_buf() is; null when
 * y >= height. */
RK_API float* imgbuf_row(const imgbuf* img, uint32_t y) RK_NOEXCEPT;
/* Sets every float of every pixel, alpha included, to 0.0 (a wrapped image's
 * gap between rows is left alone). img must not be null. */
RK_API void imgbuf_clear(imgbuf* img) RK_NOEXCEPT;
/* Copies src's pixels into dst when both have the same width and height;
 * otherwise does nothing. Neither may be null. */
RK_API void copy_imgbuf_content(imgbuf* dst, const imgbuf* src) RK_NOEXCEPT;

/* ===================================================================== */
/* Pixel operations                                                      */
/* ===================================================================== */

/* Sets channel (0 red, 1 green, 2 blue, 3 alpha) of every pixel to value;
 * a channel above 3 or a null image does nothing. */
RK_API void imgbuf_set_channel(imgbuf* img, uint32_t channel, float value) RK_NOEXCEPT;
/* New image of (L, L, L, 1) with L = 0.299 R + 0.587 G + 0.114 B, unclamped;
 * null for a null source or when memory runs out. */
RK_API imgbuf* calc_luminance(const imgbuf* src) RK_NOEXCEPT;
/* Replaces every pixel by (L, L, L, 1), computed on channels clamped to [0, 1];
 * a null image does nothing. */
RK_API void calc_luminance_inplace(imgbuf* img) RK_NOEXCEPT;
/* Writes row y as w pixels of bytes B, G, R, 255 into dst (at least 4 * w bytes,
 * w the image's width), as save_png_ex() writes 8-bit samples: each value is
 * saturated to 0..1 (NaN to 0) and written as v * 255 in single precision,
 * rounded to nearest (halves up; see rk_png_params.bit_depth).
 * A null dst or src, or y >= height, writes nothing. */
RK_API void imgbuf_convertline_b8g8r8x8(uint8_t* dst, const imgbuf* src, uint32_t y) RK_NOEXCEPT;
/* New w x h image resampled bilinearly, corners onto corners (w or h of 1 takes
 * the first column or the top row); null for a null source, for a w and h that
 * create_imgbuf() refuses or when memory runs out. */
RK_API imgbuf* imgbuf_resample(const imgbuf* src, uint32_t w, uint32_t h) RK_NOEXCEPT;

/* ===================================================================== */
/* Loading                                                               */
/* ===================================================================== */

/* Reads a PNG (not interlaced; any colour type and depth), baseline or
 * progressive JPEG (grey or colour), JPEG XR (24-bit BGR), DDS (2D textures,
 * uncompressed or DXT1, DXT3 and DXT5 blocks; not the BC4, BC5 and BC7 that
 * the DDS writer makes) or TGA (uncompressed true colour) file into
 * a new image: values 0 to 1, alpha 1 where the file has none. PNG, JPEG, DDS
 * and TGA are told by the file's content; JPEG XR only by the file's name (a
 * name whose text from its last dot begins with .jxr, .wdp or .hdp, in any
 * case), and such a file is still offered to the DDS and TGA readers when the
 * JPEG XR reader refuses it. rk_load_file() tells JPEG XR by content too. Null
 * on failure (no file, an unknown or damaged format, more than
 * RK_MAX_IMAGE_PIXELS pixels, a JPEG of more than 500 scans, no memory), with
 * the reasons sent to the diagnostics sink; a null or empty path gives null.
 * What the formats' data gives, beyond that:
 * - The float DDS layouts (R32F, G32R32F, A32B32G32R32F) load as stored, not
 *   kept to 0..1: negative, above 1, infinite and NaN values come through.
 * - A DXT1 block in its three-colour mode gives index 3 as opaque black
 *   (alpha 1), not transparent.
 * - A DDS pixel format is read only when it equals a known layout field for
 *   field: a FourCC one with a bit count or masks left in, or a masked one
 *   with other flags (A8L8 marked as having alpha pixels, A8R8G8B8 not so
 *   marked), is unsupported. So is a 32-bit TGA that states 0 alpha bits.
 * - A JPEG's EXIF orientation is not applied: the pixels load in their stored
 *   order, so a phone's portrait photograph stored sideways loads turned. */
RK_API imgbuf* load_image(const char16_t* path) RK_NOEXCEPT;

/* ===================================================================== */
/* Saving                                                                */
/* ===================================================================== */

/* Writes img as an 8-bit RGB PNG (alpha dropped; values mapped as by
 * imgbuf_convertline_b8g8r8x8). The outcome goes to msg, a buffer of capacity
 * char16_t (terminator included; RK_MIN_MESSAGE_CAPACITY or more): an empty
 * string on success, the reason otherwise, cut to fit. A null msg or a
 * capacity below 1 reports nothing. A null path or img is reported as a
 * failure. The file appears only complete: a failed save leaves an existing
 * file as it was and no partial file behind (a process killed while saving
 * may leave its hidden ".reliefkit-<pid>-<n>.tmp" beside it, as for
 * rk_save_png_file in reliefkit_rk.h). A symbolic link at path is
 * replaced by the file (its target is never written); a FIFO, directory,
 * device or socket there is refused, with the reason in the diagnostics sink. */
RK_API void core_saveimage_png(char16_t* msg, int32_t capacity, const char16_t* path,
                               const imgbuf* img) RK_NOEXCEPT;
/* As core_saveimage_png, with the file's red, green and blue taken from the
 * image channels chosen by r, g, b (0 red, 1 green, anything else blue; alpha
 * can never be chosen). */
RK_API void core_saveimage_nmap_png(char16_t* msg, int32_t capacity, const char16_t* path,
                                    const imgbuf* img, int32_t r, int32_t g, int32_t b) RK_NOEXCEPT;
/* Layouts of save_png_ex. */
#define RK_PNG_GREY 1u
#define RK_PNG_RGB 3u
/* Superseded by rk_save_png_file() (reliefkit_rk.h), which also writes RGBA, to
 * a callback and at any compression level; kept, with the same bytes.
 * As core_saveimage_nmap_png, at bit_depth 8 or 16 and as one grey channel (the
 * image channel r chooses) or RGB (r, g, b). Each value is saturated to 0..1
 * (NaN to 0) and written as v * 255 or v * 65535 in single precision, rounded
 * to nearest (halves up; see rk_png_params.bit_depth). Another depth or layout
 * writes no file and gives a message. */
RK_API void save_png_ex(char16_t* msg, int32_t capacity, const char16_t* path, const imgbuf* img,
                        uint32_t bit_depth, uint32_t layout, int32_t r, int32_t g,
                        int32_t b) RK_NOEXCEPT;

/* ===================================================================== */
/* Generators                                                            */
/* ===================================================================== */

/* Flags of calc_heightmap_from_photo; other bits are ignored. */
#define HM_AUTO_LEVELS 1u
#define HM_INVERT_RED 2u
#define HM_INVERT_GREEN 4u
#define HM_INVERT_BLUE 8u
#define HM_CLAMP 16u
#define HM_DETAIL_FILTER 32u
#define HM_SMOOTH 128u

/* New grey height map of src, the same size: red = green = blue = height.
 * The steps run in this order:
 *  1. Colour to height by mode: 0 red, 1 green, 2 blue, 3 red-green, 4 red-blue,
 *     5 green-blue (the mean of the two), 6 the mean of all three, 7 luminance
 *     (0.299 R + 0.587 G + 0.114 B on channels clamped to 0..1). HM_INVERT_RED,
 *     _GREEN and _BLUE use 1 - channel for the channels the mode reads: dark
 *     means high with all three. Modes 3 to 6 clamp the height to 0..1.
 *  2. HM_AUTO_LEVELS: the darkest height (clamped to 0..1) is moved down to 0;
 *     the range is not stretched. Nothing moves when it lies within 1e-4 of
 *     the highest height (clamped alike): a flat map, or one whose every
 *     height is 1 or above, is kept as it is.
 *  3. midpoint (0 to 1; 0.5 is neutral and the usual value): the input level
 *     that becomes 0.5, by two straight segments through (0, 0) and (1, 1).
 *     Below 0.5 raises the middle heights. Within 2^-23 of 0.5, 0 or 1 it does
 *     nothing. Taken as given, without a check: a NaN midpoint makes every
 *     height NaN, and one outside 0..1 bends the curve off (0, 0) and (1, 1)
 *     (-1 squeezes heights 0..1 into 0.75..1, 2 into 0..0.25). rk_height_map()
 *     (reliefkit_rk.h) checks it and its other parameters, refusing a value
 *     out of range with RK_ERROR_ARGUMENT.
 *  4. HM_CLAMP: heights limited to clamp_low .. clamp_high (usually 0 and 1;
 *     a NaN height gives clamp_high, and clamp_low wins when above clamp_high).
 *  5. HM_DETAIL_FILTER: a Gaussian blur of detail_size taps applied only where
 *     the edge strength is strictly below detail_threshold, so flat areas lose
 *     their grain and edges stay. The edge strength of a pixel is
 *     (|Sobel x| + |Sobel y|) / 16 of the heights, which lies in 0..0.5 for
 *     heights in 0..1 (a step of 1 between neighbours measures 0.25): a
 *     threshold of 0 or less (or NaN) blurs nothing, above 0.5 everything.
 *     Typical: 5 and 0.05.
 *  6. HM_SMOOTH with smooth_kind 0 Gaussian, 1 box or 2 tent (any other kind
 *     skips the step): the whole map blurred by smooth_size taps. Typical: 3.
 * Kernel sizes (detail_size, smooth_size) follow one rule: 0 to 2 switch the
 * step off, an even size is lowered by one, and sizes above 100 become 99.
 * The weights are only tested for all-zero: when each of weight1, weight2 and
 * weight3 lies within 2^-23 of 0, the result is black, (0, 0, 0, 1) in every
 * pixel, and no step runs; any other values have no effect. Pass 1, 1, 1.
 * Alpha: modes 0 to 2 keep the source's alpha; modes 3 to 6 put it through the
 * same arithmetic as the colour; mode 7, the clamp and every blurred pixel
 * give 1. A step that cannot get its kernel or scratch memory leaves the map
 * as it was. Null for a null src, mode > 7, or when memory for the result runs
 * out. src is only read. */
RK_API imgbuf* calc_heightmap_from_photo(const imgbuf* src, uint32_t mode, uint32_t flags,
                                         float midpoint, float clamp_low, float clamp_high,
                                         uint32_t detail_size, float detail_threshold,
                                         float weight1, float weight2, float weight3,
                                         uint32_t smooth_size, uint32_t smooth_kind) RK_NOEXCEPT;
/* New tangent-space normal map of the same size, from the red channel of
 * heightmap (nominally 0 to 1; the other channels are not read).
 * - strength: the heights are multiplied by it before the slopes are taken;
 *   0 counts as 1 and values above 10 as 10. Typical: 2.
 * - center_tap c: the middle row and column of the 3 x 3 slope operator weigh
 *   (2c + 16) / 9; c = 1 gives the Sobel weights 1-2-1. Typical: 1.
 * - invert_x, invert_y: non-zero negates x (red) or y (green). Without it x
 *   grows to the right and y grows down the picture.
 * - blur_size, blur_kind: blur of the normals; blur_kind 1 box, 2 tent, any
 *   other value Gaussian. An even blur_size is lowered by one; below 3 means no
 *   blur, and sizes above 253 (the largest kernel) become 253.
 * Encoding of the unit normal (x, y, z): red = 0.5 + 0.5 x, green = 0.5 + 0.5 y,
 * alpha = 1. Blue holds z itself (0 to 1) when no blur ran. After a blur, every
 * channel of the blurred pixel (alpha included) is read as 2v - 1, the four
 * are scaled to unit length, red, green and blue store 0.5 + 0.5 of theirs
 * and alpha is 1 again (a flat surface's blue becomes 0.854).
 * The outermost rows and columns hold the flat normal (0.5, 0.5, 1, 1) unless
 * a blur ran. Null for a null heightmap or when memory runs out.
 * heightmap is only read. */
RK_API imgbuf* calc_normalmap_from_heightmap(const imgbuf* heightmap, int32_t invert_x,
                                             int32_t invert_y, uint32_t strength,
                                             uint32_t center_tap, uint32_t blur_size,
                                             uint32_t blur_kind) RK_NOEXCEPT;

/* Edge modes of the _ex generators: clamp reads the edge pixel beyond the
 * image (as the generators above); wrap reads across the opposite edge, for
 * textures that tile. Where a wrapped map is said to be the centre of the
 * clamped map of the image tiled 3 x 3 (every map but HM_MODE_DELIT's: see
 * there), that holds when the map reads no further around a pixel than the
 * image is wide and tall; a smaller image
 * repeats more often within that reach, and the map is then the centre of a
 * tiling wide enough to hold it (5 x 5, 7 x 7, ...). */
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
 * above, and the photograph cannot tell which). The solve's heights span
 * 0..1 (so HM_AUTO_LEVELS has nothing to do for them); HM_SMOOTH smooths
 * within the solve, by a Gaussian of sigma smooth_size / 3 (an even size one
 * less; smooth_kind is not used there), and the detail filter is not used
 * there. Where the light is
 * even (overcast), brightness does mean height, cavities being darker: the
 * mode gives the luminance map (mode 7) of the same steps, auto-levels, the
 * detail filter and smooth_kind included; where it is partly directional, it
 * mixes that map with the solve's heights in proportion, scaled to 0..1. The
 * midpoint curve and HM_CLAMP apply as in the other modes; the three invert
 * flags together turn the relief upside down, fewer are ignored (by the
 * luminance map too); the weights only as a whole (all zero gives a black
 * map). RK_EDGE_WRAP treats the image as periodic (exactly when no side has a
 * prime factor above 97, else by padding it with its own continuation); clamp
 * takes the surface as flat past the edges. The local mean and the light are
 * read from a share of the whole picture, so a wrapped map is the map of a
 * periodic picture, not the centre of the clamped map of the image tiled
 * 3 x 3: no seam when tiled, and (when the sides are transformed as they are) the
 * image moved round gives the same light and heights, to within a few
 * thousandths where the local mean, taken on a coarser grid, does not move by
 * a whole cell of it. Deterministic; costs about twice
 * the luminance mode with its default steps (two Fourier transforms). */

/* Superseded by rk_height_map() (reliefkit_rk.h), which takes these options as
 * fields of a struct and says why it failed; kept, with the same results, for
 * the programs that call it.
 * As calc_heightmap_from_photo, with modes 0..8 and an edge mode (RK_EDGE_CLAMP
 * gives exactly calc_heightmap_from_photo's result); null for an unknown mode
 * or edge mode. */
RK_API imgbuf* calc_heightmap_from_photo_ex(const imgbuf* src, uint32_t mode, uint32_t flags,
                                            float midpoint, float clamp_low, float clamp_high,
                                            uint32_t detail_size, float detail_threshold,
                                            float weight1, float weight2, float weight3,
                                            uint32_t smooth_size, uint32_t smooth_kind,
                                            uint32_t edge_mode) RK_NOEXCEPT;
/* Superseded by rk_normal_map() (reliefkit_rk.h); kept, with the same results.
 * As calc_normalmap_from_heightmap, with an edge mode (RK_EDGE_CLAMP gives
 * exactly its result); null for an unknown one. */
RK_API imgbuf* calc_normalmap_from_heightmap_ex(const imgbuf* heightmap, int32_t invert_x,
                                                int32_t invert_y, uint32_t strength,
                                                uint32_t center_tap, uint32_t blur_size,
                                                uint32_t blur_kind, uint32_t edge_mode) RK_NOEXCEPT;
/* New image whose edges wrap seamlessly: the band along the right (bottom)
 * edge is cross-faded into the band that continues it across the seam (the
 * first columns or rows), and the band along the left (top) edge into the
 * band just inside it; d pixels from the seam the other picture weighs
 * 1 - d / band, so the two sides of the seam are neighbouring columns (rows)
 * of the source. The centre is kept. Columns are blended first, then rows, so
 * a corner is mixed both ways. A band is width_fraction of the width (height),
 * rounded, at least one pixel and at most half the side. width_fraction in
 * (0, 0.5], typically 0.1; null otherwise, for a null or empty source, or when
 * memory runs out. */
RK_API imgbuf* make_tileable(const imgbuf* src, float width_fraction) RK_NOEXCEPT;

/* ===================================================================== */
/* Threads                                                               */
/* ===================================================================== */

/* The generators, the blurs, resampling, the readers' pixel conversion (their
 * codecs' decoding stays on the calling thread) and the PNG savers split their
 * rows among the calling thread and the library's workers. Every result is
 * bit-identical for every thread count; a saved file's bytes do not depend on it.
 *
 * n is the most threads the library keeps busy at once, process-wide: a call
 * always works on its caller's thread, and workers join calls only while fewer
 * than n threads are busy with the library's items, so several host threads
 * calling at once share the n threads instead of multiplying them. 0 (the
 * default) means every processor the process may run on: its CPU affinity mask,
 * lowered to its cgroup's CPU quota. 1 runs everything on the calling thread,
 * as a host with its own thread pool may prefer. Workers start when first
 * needed. Takes effect for the calls that start after it; may be called from any
 * thread at any time.
 * Any n is taken as given, however far above the processors there are (no
 * upper bound), and get_thread_count() reports it. A call cuts its rows into
 * at most n pieces of a few rows each (often 8 or 16) and starts workers until
 * there is one fewer than its pieces, so with a large n a tall image can start
 * hundreds of threads; they stay until cleanup(). */
RK_API void set_thread_count(uint32_t n) RK_NOEXCEPT;
/* The thread count now in force (>= 1): n as set, or what 0 resolved to when
 * set. */
RK_API uint32_t get_thread_count(void) RK_NOEXCEPT;

/* The threading rules: every function may run concurrently with every other on
 * different images (an image that one call writes, another may not use at the
 * same time; images only read may be shared), except cleanup(). cleanup() also
 * stops and joins the workers, so it must not overlap any other call; a later
 * call starts them again. A child made by fork() starts with
 * no worker and may go on calling the library. */

/* ===================================================================== */
/* Diagnostics                                                           */
/* ===================================================================== */

/* Receives each diagnostic text (UTF-8, null-terminated, no line break added;
 * valid only during the call; a byte of a path that is not part of valid UTF-8
 * is written as \xHH) with the user pointer given to set_debug_output.
 * The texts explain failures (mostly the loaders' reasons and libpng's
 * messages); a call that succeeds may still report warnings. Rules for a sink:
 * - It is called from the thread doing the work: the caller's thread, or a
 *   thread of the library's own while the call that started the work has not
 *   returned. Calls on different threads may reach it at the same time, so it
 *   must be thread-safe.
 * - It must return normally: it must not throw, longjmp or end the thread
 *   (a C++ exception leaving it ends the process).
 * - It may call set_debug_output(); it should not call other functions of the
 *   library.
 * - It may be called once more just after it is removed: a call that fetched
 *   the sink before set_debug_output() replaced it still delivers to it. Keep
 *   it and its user data valid until every call of the library that was
 *   running at the replacement has returned. */
typedef void (*rk_debug_sink)(const char* utf8_text, void* user);
/* Installs the process-wide diagnostics sink with its user pointer (passed back
 * unchanged, never read); null (the default) discards every text. Replaces any
 * sink installed before. */
RK_API void set_debug_output(rk_debug_sink sink, void* user) RK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

/* The rk_ interface: statuses, whole messages, parameter structs, memory input
 * and callback output, beside the functions above. */
#include "reliefkit_rk.h"

#endif /* RELIEFKIT_H */
