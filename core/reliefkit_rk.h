/* reliefkit's rk_ interface: the same library as reliefkit.h, for programs
 * written today.
 *
 * reliefkit.h's functions stay as they are for the programs that call them; this
 * interface sits beside them in the same library. Its functions carry the rk_
 * prefix, say what went wrong with a status and a whole message, take their
 * options as parameter structs that can grow, read images from memory as well
 * as from files, and write PNG to a file or through a callback. It is included
 * by reliefkit.h (at its end) and may also be included alone.
 *
 * Usage
 * -----
 *     #include <reliefkit.h>
 *
 *     imgbuf *photo = NULL, *height = NULL, *normal = NULL;
 *     rk_status s = rk_load_file("wall.jpg", &photo);   // or rk_load_memory(data, size, &photo)
 *     if (s == RK_OK) {
 *         rk_height_params hp;
 *         rk_height_params_init(&hp, sizeof hp);         // the command's defaults
 *         hp.invert_red = hp.invert_green = hp.invert_blue = 1;  // dark means high
 *         s = rk_height_map(photo, &hp, &height);
 *     }
 *     if (s == RK_OK) s = rk_normal_map(height, NULL, &normal);  // NULL: defaults
 *     if (s == RK_OK) {
 *         rk_png_params pp;
 *         rk_png_params_init(&pp, sizeof pp);
 *         pp.layout = RK_PNG_GREY;
 *         s = rk_save_png_file("wall_height.png", height, &pp);
 *     }
 *     if (s == RK_OK) s = rk_save_png_file("wall_normal.png", normal, NULL);
 *     if (s != RK_OK) fprintf(stderr, "%s: %s\n", rk_status_text(s), rk_last_error());
 *     rk_image_free(normal);                            // null is ignored
 *     rk_image_free(height);
 *     rk_image_free(photo);
 *
 * Sections, in order: conventions, threading, version, statuses and messages,
 * lifecycle and threads, images, loading, generators, saving PNG.
 *
 * Conventions
 * -----------
 * - Every function that can fail returns an rk_status: RK_OK (0) or one of the
 *   RK_ERROR_ codes below, whose values never change. Results come back through
 *   out-pointers (imgbuf** out), written only on success: on failure *out is
 *   left as it was.
 * - rk_last_error() gives the calling thread's whole message of its last
 *   failed call (UTF-8); a call that succeeds leaves "". Every text that makes
 *   up a message also goes to the diagnostics sink of set_debug_output(), as
 *   reliefkit.h's functions send theirs.
 * - Options are fields of parameter structs. Each begins with
 *   uint32_t struct_size and has an init function that fills the defaults (the
 *   command's); pass it sizeof the struct as your program sees it:
 *       rk_height_params hp;
 *       rk_height_params_init(&hp, sizeof hp);
 *       hp.smooth_size = 5;
 *   A null params pointer means every default. A struct_size smaller than this
 *   library's struct (a program built against an older header) gets the
 *   defaults for the fields it does not have; a larger one (a newer header than
 *   the library) is refused with RK_ERROR_VERSION, as the library could not
 *   honour the fields it does not know. A struct_size of 0 or one that is not a
 *   multiple of 4 is refused with RK_ERROR_ARGUMENT. Every field is made of
 *   4-byte values (uint32_t, int32_t, float), so no struct has padding, and new
 *   options only ever come as new fields at the end. A value outside its documented range is refused with
 *   RK_ERROR_ARGUMENT: nothing is silently clamped.
 * - File paths are null-terminated UTF-8 (const char*), passed to the system
 *   as they are.
 * - Images are reliefkit.h's imgbuf records. Every image an rk_ function hands
 *   out is new and the caller's; free it with rk_image_free() (or
 *   delete_imgbuf(), the same function). Arguments are only borrowed for the
 *   call.
 * - Functions that cannot fail (the version, the accessors, rk_status_text(),
 *   rk_last_error(), rk_image_free(), rk_cleanup(), the thread count) return
 *   their answer directly, or nothing, and leave the calling thread's message
 *   as it was.
 *
 * Threading
 * ---------
 * reliefkit.h's rules hold: any function may run on any thread, at the same
 * time as others on different images; an image written by one call must not be
 * used by another at the same time; rk_cleanup() must not overlap any other
 * call. A call may work on the library's own threads; what they report goes
 * into the message of the call they work for, never into another thread's.
 */
#ifndef RELIEFKIT_RK_H
#define RELIEFKIT_RK_H

/* The image record, RK_API and the edge modes; reliefkit.h includes this file
 * at its end, so either header may come first. */
#include "reliefkit.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ===================================================================== */
/* Version                                                               */
/* ===================================================================== */

/* The library's version as (major << 16) | (minor << 8) | patch: equal to
 * RK_VERSION of the header it was built with (reliefkit_version.h). A program
 * may compare it with the RK_VERSION it was compiled against: a library whose
 * major number differs is not compatible, and one with a smaller value may lack
 * functions or fields the program uses. */
RK_API uint32_t rk_version(void) RK_NOEXCEPT;
/* The same version as text, "major.minor.patch" (RK_VERSION_STRING); static,
 * never null. */
RK_API const char* rk_version_string(void) RK_NOEXCEPT;

/* ===================================================================== */
/* Statuses and messages                                                 */
/* ===================================================================== */

/* What a call came to. The values are fixed: new codes are only ever added at
 * the end. */
typedef enum rk_status {
    RK_OK = 0,
    /* An argument the function cannot use: a null pointer where one is
     * required, a value outside its range, images of different sizes, a
     * struct_size of 0. */
    RK_ERROR_ARGUMENT = 1,
    /* Memory ran out (for the result, a temporary image, a kernel). */
    RK_ERROR_MEMORY = 2,
    /* A file could not be opened or read: missing, not permitted, not a regular
     * file (a directory, FIFO, device or socket), or a read the system
     * refused. */
    RK_ERROR_IO = 3,
    /* The data is in no format the library reads. */
    RK_ERROR_FORMAT = 4,
    /* The data is in a format the library reads but is damaged or cut short. */
    RK_ERROR_DAMAGED = 5,
    /* Over a limit: more than RK_MAX_IMAGE_PIXELS pixels, a block of 2^32 bytes
     * or more, more memory than the JPEG XR decoder is allowed. */
    RK_ERROR_LIMIT = 6,
    /* A variant of a known format that the library does not read (an
     * interlaced PNG, a CMYK JPEG, a DDS cube map, a compressed TGA, JPEG XR
     * other than 24-bit BGR, JPEG XR in a library built without it). */
    RK_ERROR_UNSUPPORTED = 7,
    /* The JPEG XR decoding helper failed: it crashed, broke its sandbox, timed
     * out, is missing or not executable, could not be started, or answered
     * nonsense. */
    RK_ERROR_HELPER = 8,
    /* An output could not be created, written or put in place. */
    RK_ERROR_WRITE = 9,
    /* The caller's write callback returned non-zero. */
    RK_ERROR_ABORTED = 10,
    /* A parameter struct is larger than any this library knows (a program built
     * against a newer header). */
    RK_ERROR_VERSION = 11,
    /* A fault inside the library; please report it with the message. */
    RK_ERROR_INTERNAL = 12
} rk_status;

/* A short static English text for the status ("out of memory", ...); never
 * null, "unknown status" for a value that is none of the above. */
RK_API const char* rk_status_text(rk_status status) RK_NOEXCEPT;

/* The calling thread's message of its last rk_ call that returned a status:
 * "" when that call succeeded, otherwise the whole reason in UTF-8, one line per
 * reason and never ending in a line break. A load that no reader accepts gives
 * every reader's reason in the order they were tried, as `reliefkit` prints
 * them (for example "jpeglib error:", "Not a JPEG file: starts with 0x61 0x62",
 * "DDS image loader: File is not a DDS file.", ...); other failures give one
 * line naming the function and the argument ("rk_height_map: mode 9 is not 0
 * to 8"); a failure with nothing more to say gives rk_status_text(status).
 * Texts made on the library's worker threads for the call are part of it.
 * Never null. The text belongs to the library and stays valid until the same
 * thread's next rk_ call that returns a status (or the thread's end); copy it to
 * keep it. */
RK_API const char* rk_last_error(void) RK_NOEXCEPT;

/* ===================================================================== */
/* Lifecycle and threads                                                 */
/* ===================================================================== */

/* Optional: builds the blur-kernel caches ahead of the first generator call
 * (the generators build what they need on first use either way). RK_OK, or
 * RK_ERROR_MEMORY. Calling it again keeps the caches. */
RK_API rk_status rk_init(void) RK_NOEXCEPT;
/* Releases the caches and stops the library's worker threads; harmless when
 * repeated, and the library stays usable (both come back when needed). Must
 * not overlap any other call of the library, from any thread. */
RK_API void rk_cleanup(void) RK_NOEXCEPT;
/* At most n threads busy with the library at once, process-wide, the callers'
 * own included; 0 (the default) means every processor the process may use
 * (its affinity mask, lowered to its cgroup's CPU quota), 1 keeps all work on
 * the calling threads. Every result is bit-identical for every count. Takes
 * effect for calls that start afterwards; any thread, any time (as
 * set_thread_count()). */
RK_API void rk_set_thread_count(uint32_t n) RK_NOEXCEPT;
/* The thread count in force (at least 1): n, or what 0 resolved to. */
RK_API uint32_t rk_get_thread_count(void) RK_NOEXCEPT;

/* ===================================================================== */
/* Images                                                                */
/* ===================================================================== */

/* An image is width x height pixels of four 32-bit floats (R, G, B, A; values
 * nominally 0 to 1), row 0 at the top, each row starting rk_image_stride()
 * bytes after the one before. The record is reliefkit.h's imgbuf: every
 * function of either interface takes any image, whoever made it. Images are
 * limited to RK_MAX_IMAGE_PIXELS pixels. */

/* A new w x h image with every float 0.0, rows packed (stride 16 * w). w or h
 * may be 0 (an image without pixels). RK_ERROR_ARGUMENT for a null out,
 * RK_ERROR_LIMIT when w * h exceeds RK_MAX_IMAGE_PIXELS, RK_ERROR_MEMORY. */
RK_API rk_status rk_image_create(uint32_t w, uint32_t h, imgbuf** out) RK_NOEXCEPT;

/* An image record over the caller's pixels, for handing a buffer the caller
 * already has (a NumPy array, a texture upload) to the library without a copy.
 * pixels holds h rows of w RGBA float pixels, row y starting at byte
 * y * stride_bytes; it must be 16-byte aligned, stride_bytes a multiple of 16
 * and at least 16 * w, and the block at least stride_bytes * h bytes (the
 * bytes between one row's last pixel and the next row are never read or
 * written). The pixels are borrowed: they stay the caller's, must outlive the
 * record, and rk_image_free() (delete_imgbuf()) releases only the record.
 * Functions that write an image they are given (rk_height_map_into(),
 * imgbuf_clear(), ...) write the caller's pixels; functions that return a
 * new image always allocate it. Refused with RK_ERROR_ARGUMENT for a null
 * pixels or out, misaligned pixels, or a stride that is not a multiple of 16 or
 * is smaller than 16 * w; RK_ERROR_LIMIT when w * h exceeds RK_MAX_IMAGE_PIXELS
 * or stride_bytes * h reaches 2^32 bytes; RK_ERROR_MEMORY for the record. */
RK_API rk_status rk_image_wrap(float* pixels, uint32_t w, uint32_t h, size_t stride_bytes,
                               imgbuf** out) RK_NOEXCEPT;

/* Frees an image made by any function of either interface (the record only for
 * a wrapped image); null is ignored. The same as delete_imgbuf(). */
RK_API void rk_image_free(imgbuf* image) RK_NOEXCEPT;

/* Accessors: they take any image, and answer 0 (or null) for a null one. */
/* Width in pixels. */
RK_API uint32_t rk_image_width(const imgbuf* image) RK_NOEXCEPT;
/* Height in rows. */
RK_API uint32_t rk_image_height(const imgbuf* image) RK_NOEXCEPT;
/* Bytes from the start of one row to the next: 16 * width for an image the
 * library allocated, the caller's stride_bytes for a wrapped one. */
RK_API size_t rk_image_stride(const imgbuf* image) RK_NOEXCEPT;
/* The first float of row 0; row y starts rk_image_stride() * y bytes further.
 * Writable (writing through it is writing the image); valid until the image is
 * freed. */
RK_API float* rk_image_pixels(const imgbuf* image) RK_NOEXCEPT;

/* A new w x h image resampled bilinearly from src, corners onto corners (a w or
 * h of 1 takes the first column or the top row), as imgbuf_resample().
 * RK_ERROR_ARGUMENT for a null src or out, RK_ERROR_LIMIT when w * h exceeds
 * RK_MAX_IMAGE_PIXELS, RK_ERROR_MEMORY. */
RK_API rk_status rk_image_resample(const imgbuf* src, uint32_t w, uint32_t h,
                                   imgbuf** out) RK_NOEXCEPT;
/* A new image whose opposite edges meet without a seam, as make_tileable():
 * each band of width_fraction of the width (height) along an edge is blended
 * into the band across the opposite edge, the centre kept. width_fraction in
 * (0, 0.5], 0.1 typical. RK_ERROR_ARGUMENT for a null src or out, an empty
 * src or a fraction outside the range; RK_ERROR_MEMORY. */
RK_API rk_status rk_make_tileable(const imgbuf* src, float width_fraction,
                                  imgbuf** out) RK_NOEXCEPT;

/* ===================================================================== */
/* Loading                                                               */
/* ===================================================================== */

/* Both loads read PNG (not interlaced; any colour type and depth), baseline or
 * progressive JPEG (grey or colour), JPEG XR (24-bit BGR), DDS (2D textures,
 * uncompressed or block-compressed) and TGA (uncompressed true colour), every
 * format told by the content alone, whatever a file is named. The image is
 * new, its rows packed, values 0 to 1 (alpha 1 where the data has none), with
 * the same bits load_image() gives for a file it accepts. The readers are
 * tried in that order: a PNG or JPEG that fails ends the load, data the
 * others refuse goes on to the next. JPEG XR is never decoded in the calling
 * process: the bytes go to the library's helper program (reliefkit-jxr-decode,
 * installed beside the library) through a sealed memory file, and it runs
 * sandboxed, with a time and memory limit sized from the picture. No temporary
 * file is ever made.
 *
 * Statuses: RK_ERROR_FORMAT when no reader takes the data; otherwise the first
 * reader that took the data for its format says what became of it:
 * RK_ERROR_DAMAGED (damaged or cut short), RK_ERROR_UNSUPPORTED (a variant it
 * does not read), RK_ERROR_LIMIT (more than RK_MAX_IMAGE_PIXELS pixels, or more
 * memory than the JPEG XR helper may use), RK_ERROR_HELPER (the JPEG XR helper
 * crashed, broke its sandbox, timed out, is missing or not executable, or
 * answered nonsense), RK_ERROR_MEMORY. rk_last_error() holds every reader's
 * reason, one per line, in the order tried. RK_ERROR_ARGUMENT for a null
 * argument (or an empty path).
 * The calls may run at the same time on different threads. */

/* Loads the file at utf8_path (null-terminated, non-empty). Only a regular
 * file is read: a directory, FIFO, device or socket is refused at once,
 * without blocking, with RK_ERROR_IO; so is a file that cannot be opened
 * ("<path>: No such file or directory") or read. */
RK_API rk_status rk_load_file(const char* utf8_path, imgbuf** out) RK_NOEXCEPT;
/* Loads size bytes at data (an upload, a file the caller read, a blob from an
 * archive). data must not be null, even for size 0; the bytes are only read,
 * during the call. */
RK_API rk_status rk_load_memory(const void* data, size_t size, imgbuf** out) RK_NOEXCEPT;

/* ===================================================================== */
/* Generators                                                            */
/* ===================================================================== */

/* Blur kernels of the generators' blur_kind and smooth_kind fields. */
#define RK_BLUR_GAUSSIAN 0u
#define RK_BLUR_BOX 1u
#define RK_BLUR_TENT 2u

/* Height modes of rk_height_params.mode: how a colour becomes a height. */
#define RK_HEIGHT_RED 0u        /* the red channel */
#define RK_HEIGHT_GREEN 1u      /* the green channel */
#define RK_HEIGHT_BLUE 2u       /* the blue channel */
#define RK_HEIGHT_RED_GREEN 3u  /* the mean of red and green, clamped to 0..1 */
#define RK_HEIGHT_RED_BLUE 4u   /* the mean of red and blue, clamped to 0..1 */
#define RK_HEIGHT_GREEN_BLUE 5u /* the mean of green and blue, clamped to 0..1 */
#define RK_HEIGHT_AVERAGE 6u    /* the mean of all three, clamped to 0..1 */
#define RK_HEIGHT_LUMINANCE 7u  /* 0.299 R + 0.587 G + 0.114 B of clamped channels */
#define RK_HEIGHT_DELIT 8u      /* the shading, the light and colour taken out */

/* The options of rk_height_map(), each a field (where calc_heightmap_from_photo_ex()
 * took a flags word, the flags are fields of their own, 0 or 1, and a blur is
 * switched on by its size). Fill with rk_height_params_init(); the defaults are
 * the command's: the luminance mode, auto-levels, the detail filter and a light
 * Gaussian smoothing. The steps run in the order of the fields; for what each
 * does, see calc_heightmap_from_photo() and HM_MODE_DELIT in reliefkit.h.
 * calc_heightmap_from_photo_ex()'s weights have no field: their only effect,
 * all zero giving a black map, is no relief option. */
typedef struct rk_height_params {
    uint32_t struct_size;
    /* RK_HEIGHT_RED .. RK_HEIGHT_DELIT; default RK_HEIGHT_LUMINANCE. */
    uint32_t mode;
    /* 1: use 1 - channel for that channel wherever the mode reads it (dark
     * means high); RK_HEIGHT_DELIT turns the relief upside down when all three
     * are 1 and ignores them otherwise. Default 0. */
    uint32_t invert_red;
    uint32_t invert_green;
    uint32_t invert_blue;
    /* 1 (default): the darkest height is moved down to 0 (the range is not
     * stretched). */
    uint32_t auto_levels;
    /* 0 to 1, default 0.5 (no change): the input level that becomes 0.5, by two
     * straight segments through (0, 0) and (1, 1); below 0.5 raises the middle
     * heights. */
    float midpoint;
    /* 1: heights limited to clamp_low .. clamp_high (each 0 to 1; clamp_low wins
     * when above clamp_high; a NaN height gives clamp_high). Default 0, 0, 1. */
    uint32_t clamp;
    float clamp_low;
    float clamp_high;
    /* Edge-preserving smoothing: a Gaussian of detail_size taps (0 to 99; 0 to 2
     * switch it off, an even size uses one less; default 5) applied only where
     * the edge strength ((|Sobel x| + |Sobel y|) / 16 of the heights, 0.25 for a
     * step of 1 between neighbours) is below detail_threshold (0 to 0.5,
     * default 0.05). Not used by RK_HEIGHT_DELIT. */
    uint32_t detail_size;
    float detail_threshold;
    /* Final blur of smooth_size taps (0 to 99; 0 to 2 switch it off, an even
     * size uses one less; default 3), of kind RK_BLUR_GAUSSIAN (default),
     * RK_BLUR_BOX or RK_BLUR_TENT. RK_HEIGHT_DELIT smooths within its solve by a
     * Gaussian of sigma smooth_size / 3 and ignores the kind. */
    uint32_t smooth_size;
    uint32_t smooth_kind;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP: every blur and operator reads
     * across the opposite edge, for textures that tile (the result equals the
     * centre of the clamped result on the image tiled 3 x 3). */
    uint32_t edge_mode;
} rk_height_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_height_params_init(rk_height_params* params, size_t struct_size) RK_NOEXCEPT;

/* The grey height map of src (red = green = blue = height; alpha as
 * calc_heightmap_from_photo() describes), bit for bit what
 * calc_heightmap_from_photo_ex() gives for the same options and weights of 1,
 * into a new image of src's size. params may be null (defaults). src is only
 * read. RK_ERROR_ARGUMENT for a null src or out or a field out of range (the
 * message names it); RK_ERROR_VERSION for params from a newer header;
 * RK_ERROR_MEMORY when the result, a blur or the de-lit solve finds no memory
 * (where calc_heightmap_from_photo() leaves a blur out, this refuses). */
RK_API rk_status rk_height_map(const imgbuf* src, const rk_height_params* params,
                               imgbuf** out) RK_NOEXCEPT;
/* The same, written into dst, an image of src's size whose pixels do not
 * overlap src's (any image: made by rk_image_create() once and reused for a
 * batch, or a wrapped buffer), or src itself (the photograph becomes its
 * height map, with the same bits, and no second image is needed; not in
 * RK_HEIGHT_DELIT mode); RK_ERROR_ARGUMENT otherwise. On failure dst's
 * pixels are unspecified. */
RK_API rk_status rk_height_map_into(const imgbuf* src, const rk_height_params* params,
                                    imgbuf* dst) RK_NOEXCEPT;

/* The options of rk_normal_map(); the defaults are the command's. For what
 * each does, see calc_normalmap_from_heightmap() in reliefkit.h. */
typedef struct rk_normal_params {
    uint32_t struct_size;
    /* The heights are multiplied by it before the slopes are taken: above 0 and
     * at most 10, default 2 (the old form's whole numbers give its results). */
    float strength;
    /* c, 0 to 100, default 1: the middle row and column of the 3 x 3 slope
     * operator weigh (2c + 16) / 9; 1 gives the Sobel weights 1-2-1. */
    uint32_t center_tap;
    /* 1 negates x (red) or y (green); without, x grows to the right and y down
     * the picture. Default 0. */
    uint32_t invert_x;
    uint32_t invert_y;
    /* Blur of the normals, renormalised afterwards: blur_size 0 to 254 (0 to 2
     * switch it off, an even size uses one less; default 0), blur_kind
     * RK_BLUR_GAUSSIAN (default), RK_BLUR_BOX or RK_BLUR_TENT. Without a blur,
     * blue holds z itself (0 to 1) and the outermost rows and columns hold the
     * flat normal under RK_EDGE_CLAMP; after one, blue is 0.5 + 0.5 z. */
    uint32_t blur_size;
    uint32_t blur_kind;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP, as for the heights. */
    uint32_t edge_mode;
} rk_normal_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_normal_params_init(rk_normal_params* params, size_t struct_size) RK_NOEXCEPT;

/* The tangent-space normal map of the red channel of heights (nominally 0 to
 * 1): red = 0.5 + 0.5 x, green = 0.5 + 0.5 y, blue as above, alpha 1; bit for
 * bit what calc_normalmap_from_heightmap_ex() gives for the same options, into
 * a new image. params may be null (defaults). Statuses as rk_height_map(). */
RK_API rk_status rk_normal_map(const imgbuf* heights, const rk_normal_params* params,
                               imgbuf** out) RK_NOEXCEPT;
/* The same, written into dst (heights' size, pixels apart from heights', or
 * heights itself: the normal map made in place, with the same bits). */
RK_API rk_status rk_normal_map_into(const imgbuf* heights, const rk_normal_params* params,
                                    imgbuf* dst) RK_NOEXCEPT;

/* ===================================================================== */
/* Saving PNG                                                            */
/* ===================================================================== */

/* File layouts of rk_png_params.layout: RK_PNG_GREY (1) and RK_PNG_RGB (3)
 * as reliefkit.h defines them, and four samples with alpha. */
#define RK_PNG_RGBA 4u

/* How an image becomes a PNG. Fill with rk_png_params_init(); the defaults
 * write what core_saveimage_png() writes, byte for byte. */
typedef struct rk_png_params {
    uint32_t struct_size;
    /* Bits per sample: 8 (default) or 16. Each value is saturated to 0..1 (NaN
     * gives 0) and written as round(v * 255) or round(v * 65535). */
    uint32_t bit_depth;
    /* RK_PNG_GREY (one sample), RK_PNG_RGB (default) or RK_PNG_RGBA. */
    uint32_t layout;
    /* The image channel (0 red, 1 green, 2 blue, 3 alpha) each sample of the
     * file is taken from, in file order: grey (or red), green, blue, alpha;
     * a layout uses the first 1, 3 or 4. Default 0, 1, 2, 3. A normal map for a
     * renderer that wants red and green swapped: 1, 0, 2. */
    uint32_t channels[4];
    /* zlib's level for the image data: 0 (stored, fastest) to 9 (smallest);
     * default 6. 1 is several times faster than 6 for a few percent more bytes
     * (previews). The level changes only the size: every level decodes to the
     * same samples. The bytes depend on nothing else: not on the thread count,
     * the machine or the output. */
    uint32_t compression_level;
} rk_png_params;

/* Fills the first struct_size bytes of params (pass sizeof of your struct)
 * with the defaults and sets params->struct_size to struct_size.
 * RK_ERROR_ARGUMENT for a null params or a struct_size of 0 or not a multiple
 * of 4; RK_ERROR_VERSION for one larger than this library's struct (nothing is
 * written then). */
RK_API rk_status rk_png_params_init(rk_png_params* params, size_t struct_size) RK_NOEXCEPT;

/* The caller's output: takes size bytes at data (valid only during the call)
 * and returns 0 to go on, anything else to stop the save. Called on the
 * saving thread only, in order, with blocks of up to 64 KiB (more for a
 * block that is larger by itself), never with size 0. */
typedef int (*rk_write_fn)(void* user, const void* data, size_t size);

/* Both savers write the same bytes for the same image and params: a PNG with
 * IHDR, IDAT and IEND chunks and nothing else (no gamma or colour chunk: the
 * samples are to be taken as they are). The image must have at least one pixel
 * (RK_ERROR_ARGUMENT otherwise); a wrapped image's stride is honoured.
 * Statuses: RK_ERROR_ARGUMENT for a null image or path, a field out of range,
 * an empty image; RK_ERROR_VERSION for a params struct from a newer header;
 * RK_ERROR_MEMORY. */

/* Writes the PNG to the file at utf8_path, as the savers of reliefkit.h do:
 * into a new file beside it, renamed over the target once complete, so a
 * failed or interrupted save leaves an existing file as it was and no partial
 * file behind. RK_ERROR_WRITE when the file cannot be created, written or put
 * in place (the message names the path). params may be null (defaults). */
RK_API rk_status rk_save_png_file(const char* utf8_path, const imgbuf* image,
                                  const rk_png_params* params) RK_NOEXCEPT;
/* Hands the PNG to write(user, data, size) block by block. When write returns
 * non-zero the save stops at once with RK_ERROR_ABORTED and write is not called
 * again; the bytes it took are then no PNG to keep. RK_ERROR_ARGUMENT for a null write; user is passed through unread.
 * params may be null (defaults). */
RK_API rk_status rk_save_png_write(const imgbuf* image, const rk_png_params* params,
                                   rk_write_fn write, void* user) RK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* RELIEFKIT_RK_H */
