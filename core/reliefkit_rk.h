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
 *         hp.light_azimuth = 135;                        // the sun shone from the upper left
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
 * lifecycle and threads, images, loading, generators, material maps, the
 * light, several photographs and heights from normals, saving PNG, saving
 * EXR and DDS.
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
 *   reliefkit.h's functions send theirs. A message reads the same bytes in
 *   every locale: numbers as in the C locale, the system's reasons in English;
 *   a byte of a path that is not part of valid UTF-8 is written as \xHH.
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
 *   multiple of 4 is refused with RK_ERROR_ARGUMENT, unless it is also larger:
 *   the size is compared first, so a larger one is RK_ERROR_VERSION whatever
 *   else is wrong with it. Every field is made of 4-byte values (uint32_t,
 *   int32_t, float), so no struct has padding, and new options only ever come
 *   as new fields at the end. A value outside its documented range is refused
 *   with RK_ERROR_ARGUMENT: nothing is silently clamped.
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
 * own included, except that a call always works on its caller's thread: host
 * threads calling at once never wait, and workers join only while fewer than
 * n threads are busy (see set_thread_count()); 0 (the default) means every processor the process may use
 * (its affinity mask, lowered to its cgroup's CPU quota), 1 keeps all work on
 * the calling threads. Every result is bit-identical for every count. Takes
 * effect for calls that start afterwards; any thread, any time (as
 * set_thread_count()). Any n is accepted, with no upper bound: the workers a
 * call starts follow n and the pieces its rows are cut into (see
 * set_thread_count()), so keep n to the processors meant for the library. */
RK_API void rk_set_thread_count(uint32_t n) RK_NOEXCEPT;
/* The thread count in force (at least 1): n as set, or what 0 resolved to. */
RK_API uint32_t rk_get_thread_count(void) RK_NOEXCEPT;
/* Memory kept for reuse between calls. Images and whole-image scratch of
 * 2 MiB or more that the library gives back are kept for its next calls
 * rather than returned to the system: a fresh block costs a page fault per
 * page (and the system zeroes each page) at its first touch. While calls run
 * up to 1 GiB is kept; while none runs, at most bytes bytes (held to 1 GiB),
 * or only the block given back last when bytes is 0 (the default: between
 * calls a host holds at most one image more than its own). A host that makes
 * several maps of one photograph in a row (a whole material: about six
 * images and their scratch) faults its memory in once instead of per map
 * with 1 GiB. Kept memory never raises the process's peak: a request that no
 * kept block fits is made of the oldest kept blocks' pages (moved, not
 * copied), fresh pages only for the rest. rk_cleanup() returns it all, and
 * the setting stays. Any thread, any time; takes effect at once. */
RK_API void rk_set_kept_memory(size_t bytes) RK_NOEXCEPT;

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
 * RK_ERROR_LIMIT when w * h exceeds RK_MAX_IMAGE_PIXELS or a row of 16 * w
 * bytes reaches 2^32 bytes (h 0 included, as rk_image_wrap() refuses such a
 * stride), RK_ERROR_MEMORY. */
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
 * new image always allocate it. The _into functions take a destination that
 * is the source itself (the same first pixel and stride) or lies apart from
 * it, and apart is told by bytes, not pixels: each image spans from its first
 * pixel to the end of its last row's last pixel, and spans that share a byte
 * are refused with RK_ERROR_ARGUMENT. So images wrapped over the left and
 * right halves of one atlas are refused as each other's destination, though
 * no pixel is in both; halves one above the other are apart. Refused with
 * RK_ERROR_ARGUMENT for a null pixels or out, misaligned pixels, or a stride
 * that is not a multiple of 16 or is smaller than 16 * w; RK_ERROR_LIMIT when
 * w * h exceeds RK_MAX_IMAGE_PIXELS or stride_bytes * h reaches 2^32 bytes;
 * RK_ERROR_MEMORY for the record. */
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
 * RK_ERROR_ARGUMENT for a null src or out, or an empty src with w and h both
 * above 0 (there are no pixels to take them from; imgbuf_resample() makes them
 * white); RK_ERROR_LIMIT as rk_image_create(), RK_ERROR_MEMORY. An empty
 * w x h gives an empty image whatever src's size. */
RK_API rk_status rk_image_resample(const imgbuf* src, uint32_t w, uint32_t h,
                                   imgbuf** out) RK_NOEXCEPT;
/* A new image whose opposite edges meet without a seam, as make_tileable():
 * the band of width_fraction of the width (height) along the right (bottom)
 * edge is cross-faded into the band that continues it across the seam, the
 * band along the left (top) edge into the band just inside it, the centre
 * kept. width_fraction in (0, 0.5], 0.1 typical. RK_ERROR_ARGUMENT for a
 * null src or out, an empty src or a fraction outside the range;
 * RK_ERROR_MEMORY. */
RK_API rk_status rk_make_tileable(const imgbuf* src, float width_fraction,
                                  imgbuf** out) RK_NOEXCEPT;

/* ===================================================================== */
/* Loading                                                               */
/* ===================================================================== */

/* Both loads read PNG (not interlaced; any colour type and depth), baseline or
 * progressive JPEG (grey or colour), JPEG XR (24-bit BGR), DDS (2D textures,
 * uncompressed or DXT1, DXT3 and DXT5 blocks; BC4, BC5 and BC7, which
 * rk_save_dds_file() writes, are RK_ERROR_UNSUPPORTED) and TGA (uncompressed
 * true colour), every
 * format told by the content alone, whatever a file is named. The image is
 * new, its rows packed, values 0 to 1 but in float DDS layouts (alpha 1 where
 * the data has none), with
 * the same bits load_image() gives for a file it accepts, but for one kind of
 * file: a JPEG whose data ends inside its picture, which load_image() finishes
 * with grey blocks (and a warning in its sink) and these loads refuse as
 * RK_ERROR_DAMAGED ("Image data cut short."), as soon as the decoder runs out
 * of data (at the data's end, or at any marker but a restart marker inside
 * a scan: a comment, the next scan's header), before the rest of the picture
 * is made up (a few hundred bytes that state a huge picture fail at once), or,
 * for a progressive one whose
 * data ends after a scan before its last, once its scans are read. A JPEG
 * that lacks only its end marker is whole and loads (one whose end marker
 * follows a scan before its last ends there, and loads as its scans so far
 * show it). A JPEG of more than 500 scans (real encoders write some dozens at
 * most; each costs a pass over the whole picture) is RK_ERROR_DAMAGED ("Image
 * data has too many scans."), as load_image() refuses it. Arithmetic-coded
 * JPEGs are the exception inside their last (or only) scan: their decoder
 * reads zeros where data ends without a word, and a flat picture in that
 * coding is rightly a few hundred bytes, so such a file cut short there loads,
 * the rest of its picture made up, mostly even (within the pixel limit, as
 * any file); one cut before its last scan is refused as above. The formats'
 * particulars are load_image()'s: float DDS layouts
 * (R32F, G32R32F, A32B32G32R32F) load as stored, not kept to 0..1 (negative,
 * above 1, infinite, NaN); DXT1's three-colour mode gives index 3 as opaque
 * black; a DDS pixel format that is not a known layout field for field, or a
 * 32-bit TGA that states 0 alpha bits, is RK_ERROR_UNSUPPORTED; a JPEG's EXIF
 * orientation is not applied (pixels in their stored order). The readers are
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
 * argument (or an empty path). Empty data (an empty file, or size 0) is
 * RK_ERROR_FORMAT, for the reason "the data is empty (0 bytes)".
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
 * the command's: the de-lit mode (which under an even light gives the
 * luminance map of these settings), auto-levels, the detail filter and a light
 * Gaussian smoothing. The steps run in the order of the fields; for what each
 * does, see calc_heightmap_from_photo() and HM_MODE_DELIT in reliefkit.h.
 * calc_heightmap_from_photo_ex()'s weights have no field: their only effect,
 * all zero giving a black map, is no relief option. */
typedef struct rk_height_params {
    uint32_t struct_size;
    /* RK_HEIGHT_RED .. RK_HEIGHT_DELIT; default RK_HEIGHT_DELIT. */
    uint32_t mode;
    /* 1: use 1 - channel for that channel wherever the mode reads it (dark
     * means high); RK_HEIGHT_DELIT turns the relief upside down when all three
     * are 1 and ignores them otherwise. Default 0. */
    uint32_t invert_red;
    uint32_t invert_green;
    uint32_t invert_blue;
    /* 1 (default): the darkest height is moved down to 0 (the range is not
     * stretched), unless it lies within 1e-4 of the highest, both clamped to
     * 0..1: a flat map, or one whose every height is 1 or above, is kept as
     * it is. */
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
     * default 0.05). Not used by RK_HEIGHT_DELIT's solve; used by the
     * luminance map that mode gives, or mixes in, under an even light. */
    uint32_t detail_size;
    float detail_threshold;
    /* Final blur of smooth_size taps (0 to 99; 0 to 2 switch it off, an even
     * size uses one less; default 3), of kind RK_BLUR_GAUSSIAN (default),
     * RK_BLUR_BOX or RK_BLUR_TENT. RK_HEIGHT_DELIT smooths within its solve by a
     * Gaussian of sigma size / 3 (the size so lowered), where the kind is not
     * used; the luminance map it gives, or mixes in, under an even light is
     * blurred by the kind as in the other modes. */
    uint32_t smooth_size;
    uint32_t smooth_kind;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP: every blur and operator reads
     * across the opposite edge, for textures that tile (in modes other than
     * RK_HEIGHT_DELIT the result equals the centre of the clamped result on
     * the image tiled 3 x 3, or wider for an image smaller than the blurs'
     * reach: see RK_EDGE_WRAP). RK_HEIGHT_DELIT, whose local mean and light are
     * read from a share of the whole picture, reads the image as periodic
     * instead: no seam when tiled, and the image moved round gives the same
     * light and heights, to within a few thousandths where its local mean,
     * taken on a coarser grid, does not move by a whole cell of it. */
    uint32_t edge_mode;
    /* The light of RK_HEIGHT_DELIT (the other modes ignore both fields).
     * light_azimuth: degrees counter-clockwise as seen on screen, 0 = light
     * from the right edge, 90 = from the top edge (135 the upper left, 270
     * from below), -360 to 360; NaN (default): estimated over the whole
     * circle, as rk_estimate_light() reports it. A given light is taken as
     * directional: the heights are read along it, never the luminance map's.
     * light_elevation: degrees above the surface, 1 to 90, or NaN (default).
     * One photograph's heights do not depend on it (the shading is read
     * linearly and the heights scaled to 0..1, so the elevation would only
     * scale the slopes; it trades against the relief's depth and the sky's
     * share): it is carried so that a light can be passed on whole, and
     * rk_estimate_light() hands it back. */
    float light_azimuth;
    float light_elevation;
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
/* The same, written into dst, an image of src's size that lies apart from
 * src as rk_image_wrap() tells it (any image: made by rk_image_create() once
 * and reused for a batch, or a wrapped buffer), or src itself (the photograph
 * becomes its height map, with the same bits, and no second image is needed;
 * not in RK_HEIGHT_DELIT mode); RK_ERROR_ARGUMENT otherwise. On failure dst's
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
     * flat normal under RK_EDGE_CLAMP. A blur reads every blurred channel,
     * blue and alpha included, as 2v - 1, scales the four to unit length and
     * stores 0.5 + 0.5 of red, green and blue, alpha 1: a flat surface's blue
     * becomes 0.854, and (2r - 1, 2g - 1, 2b - 1) normalised is steeper than
     * the blurred normal, since blue held z and 2z - 1 is less than z (as
     * calc_normalmap_from_heightmap()). */
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
/* The same, written into dst (heights' size, apart from heights as
 * rk_image_wrap() tells it, or heights itself: the normal map made in place,
 * with the same bits). */
RK_API rk_status rk_normal_map_into(const imgbuf* heights, const rk_normal_params* params,
                                    imgbuf* dst) RK_NOEXCEPT;

/* ===================================================================== */
/* Material maps                                                         */
/* ===================================================================== */

/* The maps a material needs besides heights and normals: ambient occlusion and
 * curvature from a height map (the red channel, nominally 0 to 1, as
 * rk_height_map() makes it), roughness and the de-lit colour (base colour) from
 * the photograph. Each function hands out a new image of its source's size; the
 * three one-channel maps are grey (red = green = blue = the value, 0 to 1,
 * alpha 1). Every result has the same bits for every thread count and
 * instruction-set path. Metallic is no map: a photograph does not show it, so
 * a material takes a constant (0 for stone, wood or plaster, 1 for bare metal).
 *
 * Statuses of the four: RK_ERROR_ARGUMENT for a null source or out, a source
 * without pixels (0 wide or high) or a field out of range (the message names
 * it); RK_ERROR_VERSION for params from a newer header; RK_ERROR_MEMORY. A
 * null params pointer means the defaults. The source is only read. */

/* The options of rk_ao_map(). */
typedef struct rk_ao_params {
    uint32_t struct_size;
    /* D, pixels per unit of height: a height of 1 stands D pixels above a
     * height of 0. 0 to 4096, default 16 (0: a flat surface, occlusion 1). */
    float depth;
    /* R, how far in pixels each pixel looks for what hides its sky: 8 to 256,
     * default 32. The time grows in proportion to R. */
    float radius;
    /* K, the directions looked along, evenly spaced from 0 (to the right):
     * 4 to 256, default 16. The time grows in proportion to K (below 16, see
     * rk_ao_map() for sharp heights). */
    uint32_t directions;
    /* RK_EDGE_CLAMP (default): the surface continues beyond the border as the
     * edge pixels; RK_EDGE_WRAP: it continues across the opposite edge, for
     * textures that tile. */
    uint32_t edge_mode;
} rk_ao_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_ao_params_init(rk_ao_params* params, size_t struct_size) RK_NOEXCEPT;

/* Ambient occlusion of the heights: the cosine-weighted share of the sky above
 * the texture's plane that each pixel sees, 1 where nothing hides it, towards 0
 * at the bottom of a narrow pit. Defined as: heights in pixels H = red * D
 * (values that are not numbers count as 0); for each pixel p and each of the K
 * directions phi = 360 k / K degrees, the horizon h(phi) is the largest
 * elevation atan((H(q) - H(p)) / |q - p|) over the points q of the ray from p
 * with 0 < |q - p| <= R, the heights between pixel centres bilinear; the
 * occlusion is 1 - mean over phi of sin^2(max(0, h(phi))). The horizons are
 * found by sweeping each direction along lines one pixel apart (far cheaper
 * than marching every ray), each pixel's own ray followed exactly over its
 * first three steps: within 0.02 of the definition where no step between
 * neighbours, second difference along a row or column, or twist of a cell
 * ((a - b) - c) + d of H is above 4 pixels (a photograph's heights at the
 * default depth). Near sharper heights, where the lines would miss by more,
 * pixels take their own rays over their whole length, which follow the
 * definition (every cell boundary and the bulge of every cell) at about five
 * times the cost: those within about 1.4 (s + 3) pixels of a point of
 * sharpness s (up to R), so a few stones' edges cost a few percent more and
 * heights sharp everywhere about five times as much. With K below 16 each
 * direction weighs more in the mean, so sharpness counts 16 / K times over
 * (the bound is 4 K / 16 pixels): on heights with many steps of 2 to 4
 * pixels, K = 8 can take longer than K = 16.
 * Under RK_EDGE_WRAP the map is the centre of the clamped map of the image
 * tiled 3 x 3, bit for bit. An image smaller than what a pixel's rays and
 * the marks around them reach (about 1.5 (R + 3) pixels) repeats more often
 * within that reach (see RK_EDGE_WRAP): its map is the centre of a wider
 * tiling's to within about 0.002, not bit for bit, because the sweep's lines
 * cross the tiles of a wider tiling elsewhere. The cost grows with w * h * K * R
 * (bench/README.md has the figures). */
RK_API rk_status rk_ao_map(const imgbuf* heights, const rk_ao_params* params,
                           imgbuf** out) RK_NOEXCEPT;

/* The options of rk_curvature_map(). */
typedef struct rk_curvature_params {
    uint32_t struct_size;
    /* The width of the features measured, as the taps of a Gaussian in pixels:
     * 3 to 253 (an even size uses one less), default 9. */
    uint32_t scale;
    /* How far a given bend moves the value from 0.5: 0 to 100, default 1 (0
     * gives 0.5 everywhere). */
    float strength;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP, as for rk_height_map(): the
     * wrapped map equals the centre of the clamped map of the image tiled
     * 3 x 3, bit for bit (wider when the image is smaller than the blurs'
     * reach: see RK_EDGE_WRAP). */
    uint32_t edge_mode;
} rk_curvature_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_curvature_params_init(rk_curvature_params* params,
                                          size_t struct_size) RK_NOEXCEPT;

/* Curvature of the heights at the scale: above 0.5 on ridges and bumps, below
 * in valleys and joints, exactly 0.5 where the surface is flat (a plane of any
 * slope). The heights are blurred by the Gaussian of the scale (B1) and B1 once
 * more (B2); B1 - B2 is the surface's bend at that scale (the negative of its
 * Laplacian times sigma^2 / 2), so that features as wide as the scale give the
 * same answer at every scale. The value is 0.5 + 0.5 y / (1 + |y|) with
 * y = 32 * strength * (B1 - B2): bounded, odd about 0.5 and steepest there.
 * Differences below 2^-16 of the larger of 1 and the height count as flat:
 * that covers the blurs' rounding on a plane for heights of the usual sizes,
 * not for a plane that climbs hundreds of units within a wide scale's reach
 * (where its height passes 0 such a plane may come 0.0003 off 0.5 at strength
 * 1, about 0.03 at 100).
 * Under RK_EDGE_CLAMP the surface goes on straight past the border (each row
 * and column continued by point reflection through its edge pixel), so a
 * plane gives 0.5 up to the border, where the map measures the bend along the
 * border. */
RK_API rk_status rk_curvature_map(const imgbuf* heights, const rk_curvature_params* params,
                                  imgbuf** out) RK_NOEXCEPT;

/* The options of rk_roughness_map(). */
typedef struct rk_roughness_params {
    uint32_t struct_size;
    /* How far the values spread from 0.5: 0 to 16, default 1 (0 gives
     * 0.5 + bias everywhere). */
    float contrast;
    /* Added after the contrast: -1 to 1, default 0. */
    float bias;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP (bit for bit the centre of the
     * clamped map of the image tiled 3 x 3, or wider when the image is
     * smaller than the blurs' reach: see RK_EDGE_WRAP). */
    uint32_t edge_mode;
} rk_roughness_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_roughness_params_init(rk_roughness_params* params,
                                          size_t struct_size) RK_NOEXCEPT;

/* Roughness of the photograph (0 smooth, 1 rough): a starting point for an
 * artist to tune, not a measurement. Fine detail (grain, pores, scratches)
 * counts as rough, and under the usual soft light a smooth surface shows the
 * sky in it and looks lighter: with L the luminance (0.299 R + 0.587 G +
 * 0.114 B of the channels clamped to 0..1), mean its 5-tap Gaussian blur and
 * detail the same blur of |L - mean| divided by 0.08 and limited to 1, the
 * value is ((detail + 1 - mean) / 2 - 0.5) * contrast + 0.5 + bias, clamped to
 * 0..1. */
RK_API rk_status rk_roughness_map(const imgbuf* photo, const rk_roughness_params* params,
                                  imgbuf** out) RK_NOEXCEPT;

/* The options of rk_albedo_map(). */
typedef struct rk_albedo_params {
    uint32_t struct_size;
    /* RK_EDGE_CLAMP (default) or RK_EDGE_WRAP: the photograph tiles, and the
     * light is read from it as a periodic image (see rk_albedo_map()). */
    uint32_t edge_mode;
    /* Where the light comes from, in degrees counter-clockwise as seen on
     * screen: 0 from the right edge, 90 from the top edge (135: the upper
     * left), -360 to 360 (as rk_height_params takes it). NaN (the default; NAN
     * of <math.h>) has it estimated from the photograph, which also tells a
     * directional light from an even one. */
    float light_azimuth;
    /* 1 (default): also take out a light that falls off across the photograph
     * (a lamp's, a vignette's side, the sky's gradient), a plane fitted to the
     * logarithm of the de-shaded luminance; it takes out a colour's own change
     * across the whole picture too. 0: keep it. Under RK_EDGE_WRAP nothing is
     * taken out either way: a plane does not tile. */
    uint32_t flatten_light;
    /* The width in pixels of the light taken out: the radius of the local
     * mean that the shading is read against, the cavities' envelope half of
     * it ((scale + 1) / 2, also the side of their tiles), 1 to 4096. 0 (the
     * default): a share of the photograph's larger side (a sixteenth; the
     * cavities' a thirty-second). */
    uint32_t scale;
} rk_albedo_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_albedo_params_init(rk_albedo_params* params, size_t struct_size) RK_NOEXCEPT;

/* The de-lit colour (a material's base colour): the photograph with its light
 * divided out of every channel alike, so that the colour is kept: the shading
 * of the relief that the light's direction explains (as RK_HEIGHT_DELIT reads
 * it; none under an even light, which gives no direction to read it from), the
 * darkening of the relief's cavities that every light leaves (under any light,
 * an even one too: hollows darker than their neighbourhood are lifted, so a
 * narrow dark mark of the surface's own colour may be lightened with them)
 * and, with flatten_light, the light falling off across the picture. Scaled so that
 * its mean luminance is the photograph's, each channel clamped to 0..1; alpha
 * is the photograph's. The colour stays in the photograph's encoding (sRGB for
 * an ordinary photograph). Under RK_EDGE_WRAP the light is read from the
 * photograph as a periodic image, so the result has no seam when tiled. It is
 * the centre of the RK_EDGE_WRAP map of the image tiled 3 x 3, each channel
 * within 3e-3 (the largest difference measured is 1.5e-3, at scale 1; mostly
 * within 1e-5: the transforms of the two sizes round apart, and a pixel whose
 * cavity measure lies on the edge of a step of the cavities' histograms may
 * fall on either side of it, so the nine copies of the tiled map can differ
 * among themselves as much), when the light and the scale are given, the scale
 * is below the shorter side, both sides are multiples of the cavities' tile
 * ((scale + 1) / 2) and have no prime factor above 97, and the width is even or
 * the height odd. Otherwise it is not the tiled map's centre: an estimated
 * light is read from the whole picture, a default scale is a share of its side
 * (tripled by the tiling), and past those limits the tiles, the local mean's
 * reach or its coarse grid fall across the copies differently. The centre of
 * the RK_EDGE_CLAMP map of the tiled image differs in nearly every pixel even
 * then, by up to a few hundredths: its mirrored edges reach into the centre. */
RK_API rk_status rk_albedo_map(const imgbuf* photo, const rk_albedo_params* params,
                               imgbuf** out) RK_NOEXCEPT;

/* The height map and the de-lit colour of one photograph: *heights as
 * rk_height_map(photo, height_params) and *albedo as rk_albedo_map(photo,
 * albedo_params) give them, bit for bit. When height_params asks for
 * RK_HEIGHT_DELIT and both read the light alike (the same edge_mode, the
 * same light_azimuth or both NaN, and scale 0), the photograph's shading, its spectrum and
 * the light are worked out once for both: for a 4096 x 4096 photograph,
 * about a fifth less processor time than the two calls on one thread and a
 * third less on two. It holds the shading (4 bytes a pixel) beside the two
 * maps until it returns.
 *
 * Either params may be null (defaults). RK_ERROR_ARGUMENT for a null or empty
 * photo, a null heights or albedo, a field out of range; RK_ERROR_VERSION for
 * params from a newer header; RK_ERROR_MEMORY. On failure neither *heights nor
 * *albedo is written. Free both with rk_image_free(). */
RK_API rk_status rk_height_and_albedo_maps(const imgbuf* photo,
                                           const rk_height_params* height_params,
                                           const rk_albedo_params* albedo_params,
                                           imgbuf** heights, imgbuf** albedo) RK_NOEXCEPT;

/* The same, the colour written into albedo instead of a new image: an image
 * of the photo's size that is the photo itself or lies apart from it (as
 * rk_image_wrap() tells it); *heights is a new image as above. The same bits as
 * rk_height_and_albedo_maps(). Written into the photo, the colour replaces
 * the photograph: its working planes (8 bytes a pixel, 12 without a shared
 * light) take no memory of their own but the new height map's pixels while
 * it waits, folded (when it is grey and opaque, as the de-lit mode makes it;
 * otherwise scratch of their own), and the host holds one image afterwards
 * instead of two. The photo is then written only after everything else is
 * done: when the call fails, its pixels are as they were.
 *
 * RK_ERROR_ARGUMENT for a null or empty photo, a null heights or albedo, an
 * albedo of another size or neither the photo nor apart from it, a
 * field out of range; RK_ERROR_VERSION; RK_ERROR_MEMORY. On failure *heights
 * is not written and the pixels of an albedo other than the photo are
 * unspecified. */
RK_API rk_status rk_height_and_albedo_maps_into(const imgbuf* photo,
                                                const rk_height_params* height_params,
                                                const rk_albedo_params* albedo_params,
                                                imgbuf** heights, imgbuf* albedo) RK_NOEXCEPT;

/* ===================================================================== */
/* The light, several photographs, heights from normals                  */
/* ===================================================================== */

/* Angles of a light, everywhere in this interface: the azimuth in degrees
 * counter-clockwise as seen on screen, 0 = light from the right edge of the
 * picture, 90 = from the top edge, 180 = from the left, 270 = from below; the
 * elevation in degrees above the surface's plane (90: straight above). */

/* A light as the library reports it. */
typedef struct rk_light {
    /* Set by the caller to sizeof(rk_light) before the call; the library
     * writes the fields this size covers (a size from a newer header is
     * refused with RK_ERROR_VERSION, one of 0 or not a multiple of 4 with
     * RK_ERROR_ARGUMENT, as for the parameter structs). */
    uint32_t struct_size;
    /* 0 <= azimuth < 360; NaN: the light is even (overcast, diffuse), with no
     * direction to name. */
    float azimuth;
    /* NaN when not known: one photograph does not tell it. */
    float elevation;
    /* How directional the light is: 0 even .. 1 from one side (1 for a given
     * light). Between the two, the de-lit mode mixes its heights with the
     * luminance map's in this proportion. */
    float directional;
} rk_light;

/* The light the de-lit mode (rk_height_map() with RK_HEIGHT_DELIT, whatever
 * params->mode says) takes for photo, written into *out.
 *
 * A light given in params (light_azimuth not NaN) is reported as given: its
 * azimuth brought into 0..360, light_elevation, directional 1. Otherwise it is
 * estimated. How directional: an even light lights every side of the relief
 * alike, so the steps in the shading (the luminance over its local mean) are
 * as often bright-to-dark as dark-to-bright along any line; a light from one
 * side makes them one-sided (cast shadows end abruptly away from it) along
 * its axis; a relief without edges counts as lit from one side only when one
 * axis explains nearly all of its shading. Which end of the axis: a bump lit
 * from one side gives the same photograph as a hollow lit from the other, and
 * the estimate takes the convention that the darker parts of the photograph
 * lie lower (shadows fall on the ground beside a bump and on the floor of a
 * hollow; hollows see less of the sky). That is right for hollows, joints
 * between raised blocks and packed stones, and wrong for isolated bumps on
 * flat ground (studs, rivets): when the relief comes out upside down, give
 * the opposite light, light_azimuth = azimuth + 180 (mod 360). The elevation
 * is reported as params->light_elevation (NaN unless given).
 *
 * Only params->edge_mode (a tiling photograph is read across its edges),
 * params->smooth_size (the smoothing of the heights, whose darker parts
 * decide which end of the light's axis is lit, as in rk_height_map()) and the
 * light fields change the estimate. It costs most of a de-lit
 * rk_height_map() (the shading, its spectrum and the test of the end), so a
 * caller that wants both pays about twice. An empty photo gives an even light.
 * params may be null (defaults). RK_ERROR_ARGUMENT for a null photo or out, a
 * field out of range, an out->struct_size of 0 or not a multiple of 4;
 * RK_ERROR_VERSION for params or out from a newer header; RK_ERROR_MEMORY.
 * On failure *out is left as it was. */
RK_API rk_status rk_estimate_light(const imgbuf* photo, const rk_height_params* params,
                                   rk_light* out) RK_NOEXCEPT;

/* The most photographs rk_photometric_stereo() takes. */
#define RK_MOST_PHOTOGRAPHS 32u

/* The options of rk_photometric_stereo(); fill with rk_photometric_params_init(). */
typedef struct rk_photometric_params {
    uint32_t struct_size;
    /* Degrees above the surface of each light given without an elevation of
     * its own, 1 to 90; NaN (default): 45. Lights at one elevation cannot show
     * it: a steeper light over a deeper relief gives the same photographs, so
     * an elevation off by d tilts the normals by about as much as
     * tan(elevation + d) / tan(elevation) scales their slopes. */
    float elevation;
    /* The even light in every photograph (a room's light, the sky), as a
     * share of what a surface facing the lamp gets from it: each photograph
     * is taken as albedo * (ambient + max(0, n . l)). 0 to 1; NaN (default):
     * estimated from the shadows (the readings of the lights dropped as
     * shadows, which are the ambient light alone) with four photographs or
     * more and at least 64 shadowed pixels, else 0.2. */
    float ambient;
    /* At each pixel, a light whose reading differs from what the other
     * lights predict by more than this share of the albedo is dropped (a cast
     * shadow: darker; a highlight: brighter), and so is a light the surface
     * turns away from whose reading is the ambient light alone (an attached
     * shadow), as long as three lights remain. Above 0, at most 1; default
     * 0.05. */
    float outlier;
    /* How the heights meet the edges: RK_EDGE_CLAMP (default; mirrored, for
     * photographs that do not tile) or RK_EDGE_WRAP (periodic). */
    uint32_t edge_mode;
    /* 1 negates x (red) or y (green) of the normal map, as in
     * rk_normal_params (without, x grows to the right and y down the
     * picture). Default 0. */
    uint32_t invert_x;
    uint32_t invert_y;
} rk_photometric_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_photometric_params_init(rk_photometric_params* params,
                                            size_t struct_size) RK_NOEXCEPT;

/* What rk_photometric_stereo() gives. The caller sets struct_size to
 * sizeof(rk_photometric_result); the library fills the fields this size
 * covers, and frees any map whose field lies beyond it (a program built
 * against an older header). New results only ever come as new fields at the
 * end. */
typedef struct rk_photometric_result {
    uint32_t struct_size;
    /* The number of photographs: the entries of the light arrays below that
     * are set (the others are NaN). */
    uint32_t count;
    /* The caller's images (free each with rk_image_free()), all of the
     * photographs' size:
     * normal: red = 0.5 + 0.5 x, green = 0.5 + 0.5 y, blue = z (0 to 1),
     *   alpha 1, as rk_normal_map() writes without a blur; a pixel too dark
     *   to tell (albedo below a thousandth) holds the flat normal.
     * albedo: the colour with the light divided out (per channel, the
     *   least-squares albedo over the lights in use there), scaled so that
     *   the brightest 0.1 % of the pixels are 1; alpha 1.
     * height: grey heights (h, h, h, 1), 0 (lowest) to 1 (highest), the
     *   normals integrated as rk_height_from_normals() does. */
    imgbuf* normal;
    imgbuf* albedo;
    imgbuf* height;
    /* What 1 in the height map stands for, in pixels of the photographs. */
    float height_range;
    /* The ambient share used (given or estimated). */
    float ambient;
    /* The lights used, [i] for photograph i: as given, or as estimated
     * (azimuth 0 to 360); the elevation as given, else params->elevation, else
     * 45. */
    float light_azimuth[RK_MOST_PHOTOGRAPHS];
    float light_elevation[RK_MOST_PHOTOGRAPHS];
} rk_photometric_result;

/* Photometric stereo: the normals, the colour and the heights of a surface from
 * count photographs of it (3 to RK_MOST_PHOTOGRAPHS), taken from one place with
 * the same framing and exposure, each under its own light (a torch at a low
 * angle from four sides is the usual capture). Each pixel's normal and albedo
 * are fitted to the luminance of its readings, the outlier lights left out
 * (see rk_photometric_params); four photographs leave one to spare for a
 * shadow or a highlight, three give an exact fit and nothing to spare.
 *
 * azimuths and elevations hold count angles each (or are null: every one NaN).
 * A NaN azimuth has that photograph's light estimated: the unknown lights are
 * found from the photographs together, taking the lights as spread around
 * the surface (their mean direction straight above), the relief's slopes as a
 * surface's (no curl) and the lights as of one elevation; what stays open is
 * a half turn of all of them, settled by the given lights when there are any,
 * else by the convention of rk_estimate_light() (the darker parts lie lower).
 * A NaN elevation takes params->elevation. A light away from the camera's
 * axis matters little; the photographs must not move between shots.
 *
 * On success *out is filled as described above. params may be null
 * (defaults). RK_ERROR_ARGUMENT for a null photos or out, a count outside 3 to
 * RK_MOST_PHOTOGRAPHS, a null or empty photograph or one of another size than
 * the first, an angle or field out of range (azimuths -360 to 360, elevations
 * 1 to 90, or NaN), lights that all lie in one plane with the surface's
 * normal at the elevations used (one azimuth, or two opposite ones, or every
 * light at 90 degrees or so near it that the solve cannot tell the slopes:
 * they cannot tell a slope across that plane), lights to be estimated that
 * the photographs do not show (no relief to read them from, or lights from
 * one side and its opposite only: give their azimuths), an out->struct_size
 * of 0 or not a multiple of 4; RK_ERROR_VERSION for
 * params or out from a newer header; RK_ERROR_MEMORY. On failure *out is left
 * as it was. The photographs are only read. */
RK_API rk_status rk_photometric_stereo(const imgbuf* const* photos, uint32_t count,
                                       const float* azimuths, const float* elevations,
                                       const rk_photometric_params* params,
                                       rk_photometric_result* out) RK_NOEXCEPT;

/* What a normal map's blue channel holds, for rk_integrate_params.blue. */
#define RK_NORMAL_BLUE_UNREAD 0u /* not read: z from red and green (x^2 + y^2 + z^2 = 1),
                                    right for any unit normals, two-channel maps too */
#define RK_NORMAL_BLUE_Z 1u      /* z itself, 0 to 1 (rk_normal_map() without a blur) */
#define RK_NORMAL_BLUE_BIASED 2u /* 0.5 + 0.5 z (most tools). rk_normal_map()'s blurred
                                    maps are none of these: its blur rescales the
                                    normal with alpha (see blur_size there); integrate
                                    the map made without a blur */

/* The options of rk_height_from_normals(); fill with rk_integrate_params_init(). */
typedef struct rk_integrate_params {
    uint32_t struct_size;
    /* 1: red grows to the left. Default 0 (to the right). */
    uint32_t invert_x;
    /* 1: green grows up the picture (OpenGL style: glTF, Blender, Unity,
     * Godot). Default 0: down the picture (DirectX style: Unreal, and this
     * library's own maps). */
    uint32_t invert_y;
    /* RK_NORMAL_BLUE_UNREAD (default), RK_NORMAL_BLUE_Z or
     * RK_NORMAL_BLUE_BIASED. Reading blue keeps the slopes (x / z, y / z)
     * right for normals shortened by resampling, mipmapping or a blur
     * without renormalising, which z from red and green makes too flat. */
    uint32_t blue;
    /* RK_EDGE_CLAMP (default): the map does not tile; it is mirrored past
     * its edges for the solve.
     * RK_EDGE_WRAP: the map tiles and the heights are periodic (this solve is
     * global: they are the periodic solution, not the centre of a 3 x 3
     * tiling's clamped one). */
    uint32_t edge_mode;
} rk_integrate_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_integrate_params_init(rk_integrate_params* params,
                                          size_t struct_size) RK_NOEXCEPT;

/* Heights from a tangent-space normal map (a scan's, a bake's, another
 * tool's; 8 or 16 bits once loaded): the heights whose slopes match the map's
 * best in the least-squares sense (a Fourier solve; a small penalty near the
 * highest frequency keeps noise from growing), as a new grey image (h, h, h, 1)
 * of normals' size, 0 (lowest) to 1 (highest). Red and green are read as
 * 0.5 + 0.5 x and 0.5 + 0.5 y; a NaN reads as level; z is taken as at least
 * 0.1 (slopes up to 84 degrees). A map whose slopes have curl (no surface has
 * them: noise, a painted detail) gives the heights nearest to it. At a
 * clamped map's edges the surface is mirrored; a map whose edge pixels hold
 * half the step to their neighbour (central differences of heights held at
 * the edge, as this library's normal maps) is read as it is, one whose edge
 * pixels hold the surface's full slope there (most bakes and scans; told from
 * all its edges together) has them read as that half step, and so has one
 * whose edge pixels hold the whole step to their neighbour (array libraries'
 * gradients). Slopes are taken to be central differences,
 * (h[i + 1] - h[i - 1]) / 2, unless the map says otherwise: one-sided ones
 * along either axis (h[i + 1] - h[i] or h[i] - h[i - 1], as some tools write,
 * and which a map drawn green up turns into each other) leave no curl under
 * their own stencils and are integrated with them, and so do central
 * differences smoothed across by Sobel's or Prewitt's filter; where a smooth
 * surface fits every stencil, the edges tell (one-sided slopes of heights
 * held at the edge are 0 along one edge and the whole step along the other).
 * Scharr's filter cannot be told from exact slopes and is read as central
 * differences (about 1.5 % of the relief off on sharp surfaces). A map whose
 * outermost pixels all read level while those inside them do not (this
 * library's own maps of non-tiling images, rk_normal_map()) has that ring
 * read as its inner neighbours' slopes.
 *
 * *range (range may be null) receives what 1 in the height map stands for,
 * the relief from lowest to highest in pixels: a displacement of range /
 * width for a quad one unit wide. An empty map gives an empty image and a
 * range of 0. params may be null (defaults). RK_ERROR_ARGUMENT for a null
 * normals or out or a field out of range; RK_ERROR_VERSION for params from a
 * newer header; RK_ERROR_MEMORY. normals is only read. */
RK_API rk_status rk_height_from_normals(const imgbuf* normals, const rk_integrate_params* params,
                                        imgbuf** out, float* range) RK_NOEXCEPT;

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
     * gives 0) and written as v * 255 or v * 65535 in single precision,
     * rounded to nearest (halves up): the product is rounded to a float first,
     * so a few values land one step above the exact product's rounding
     * (0.7f, 45874.4990 exactly, gives 45875). */
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
 * saving thread only, in order, never with size 0. Small pieces are gathered
 * into blocks of up to 64 KiB; a piece larger than that by itself (a PNG's
 * band of compressed rows, a DDS file's mipmap level, a whole EXR file, which
 * is made in memory) is handed over alone, just after what was gathered
 * before it. So a call may bring far less than 64 KiB or far more: a large
 * PNG comes as its signature and header with the first data chunk's start (43
 * bytes), then each band larger than 64 KiB alone, with the 12 bytes that end
 * one data chunk and start the next between two of them, and last whatever
 * was gathered after the last large band: the smaller bands (the last band is
 * often one) and the end (20 bytes); a DDS file as its header (148 bytes for
 * BC7), its large levels one by one and the small ones together; an EXR file
 * in one call. */
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
 * file under its name. A save that fails removes its new file; a process
 * killed during a save (SIGKILL, or SIGXFSZ past a file size limit, whose
 * default action ends the process: ignore it to get RK_ERROR_WRITE instead)
 * leaves it, hidden: ".reliefkit-<pid>-<n>.tmp" in the same folder.
 * RK_ERROR_WRITE when the file cannot be created, written or put in place
 * (the message names the path). params may be null (defaults). */
RK_API rk_status rk_save_png_file(const char* utf8_path, const imgbuf* image,
                                  const rk_png_params* params) RK_NOEXCEPT;
/* Hands the PNG to write(user, data, size) block by block. When write returns
 * non-zero the save stops at once with RK_ERROR_ABORTED and write is not called
 * again; the bytes it took are then no PNG to keep. RK_ERROR_ARGUMENT for a null write; user is passed through unread.
 * params may be null (defaults). */
RK_API rk_status rk_save_png_write(const imgbuf* image, const rk_png_params* params,
                                   rk_write_fn write, void* user) RK_NOEXCEPT;

/* ===================================================================== */
/* Saving EXR and DDS                                                    */
/* ===================================================================== */

/* The files renderers and engines load without converting: OpenEXR (float
 * samples, for displacement and anything a renderer reads as data) and DDS
 * (the block-compressed formats GPUs sample, with every mipmap). Both come in
 * the same two forms as the PNG savers, with the same rules: the _file form
 * replaces a file only by a complete one (RK_ERROR_WRITE when it cannot be
 * created, written or put in place, the message naming the path); the _write
 * form hands the bytes to write(user, data, size) in order, in blocks as
 * rk_write_fn describes (an EXR file in one call), and stops with
 * RK_ERROR_ABORTED at its first non-zero answer (the bytes it took are then
 * no file to keep). The image must have at least one pixel; a wrapped image's
 * stride is honoured. The bytes are the same for every
 * thread count. Statuses: RK_ERROR_ARGUMENT for a null image, path or write, an
 * empty path or image, a field out of range; RK_ERROR_VERSION for params from
 * a newer header; RK_ERROR_LIMIT for an image too large for the format;
 * RK_ERROR_MEMORY; RK_ERROR_INTERNAL when OpenEXR fails otherwise. */

/* Layouts of rk_exr_params.layout (numbered as the PNG layouts). */
#define RK_EXR_Y 1u    /* one channel, Y: the image's red */
#define RK_EXR_RGB 3u  /* R, G, B */
#define RK_EXR_RGBA 4u /* R, G, B, A */

/* How an image becomes an OpenEXR file: scanline, one part. */
typedef struct rk_exr_params {
    uint32_t struct_size;
    /* RK_EXR_Y, RK_EXR_RGB (default) or RK_EXR_RGBA. Y is what OpenCV and
     * Blender read as grey. */
    uint32_t layout;
    /* Bits per sample: 16 (half float, the default: 11 significant bits, values
     * past 65504 become infinite) or 32 (float; for height maps that are
     * displaced, where a half's steps would show). */
    uint32_t bit_depth;
    /* 1 (default): zip compression (lossless, 16 rows a chunk, which every
     * reader supports); 0: none. */
    uint32_t compress;
} rk_exr_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_exr_params_init(rk_exr_params* params, size_t struct_size) RK_NOEXCEPT;

/* The values are written as they are: no clamping and no change of encoding
 * (an sRGB-encoded colour stays sRGB-encoded, though EXR readers take samples
 * as linear light). RK_ERROR_LIMIT when the image is over 134217727 pixels
 * wide. params may be null (defaults). */
RK_API rk_status rk_save_exr_file(const char* utf8_path, const imgbuf* image,
                                  const rk_exr_params* params) RK_NOEXCEPT;
RK_API rk_status rk_save_exr_write(const imgbuf* image, const rk_exr_params* params,
                                   rk_write_fn write, void* user) RK_NOEXCEPT;

/* Block formats of rk_dds_params.format. */
#define RK_DDS_BC4 4u /* one channel (the image's red), 8 bytes per 4 x 4 block */
#define RK_DDS_BC5 5u /* two channels (red, green), 16 bytes per block */
#define RK_DDS_BC7 7u /* red, green, blue, alpha, 16 bytes per block */

/* How an image becomes a DDS texture. BC4 suits one-channel maps (height,
 * occlusion, curvature, roughness), BC5 normal maps (x and y; the reader
 * reconstructs z), BC7 colour. BC4 and BC5 carry the FourCCs ATI1 and ATI2
 * (which Pillow and Blender read), BC7 the DX10 header with
 * DXGI_FORMAT_BC7_UNORM or BC7_UNORM_SRGB. */
typedef struct rk_dds_params {
    uint32_t struct_size;
    /* RK_DDS_BC4, RK_DDS_BC5 or RK_DDS_BC7 (default). */
    uint32_t format;
    /* 1 (default): the full mipmap chain down to 1 x 1, each level half the one
     * before (rounded down, at least 1) and each pixel the area-weighted mean of
     * the pixels it covers, taken as the first level shows them (clamped to
     * 0..1, NaN as 0); 0: the image alone. */
    uint32_t mipmaps;
    /* 1: a normal map (red, green = 0.5 + 0.5 x, y of unit normals, as
     * rk_normal_map() makes them): every level's normals are averaged as unit
     * vectors and renormalised. BC5 only; default 0. */
    uint32_t normal_map;
    /* 1: red, green and blue are sRGB-encoded colour (a photograph, a base
     * colour): averaged in linear light for the mipmaps and tagged sRGB. BC7
     * only; default 0. */
    uint32_t srgb;
} rk_dds_params;

/* Fills params with the defaults, as rk_png_params_init(). */
RK_API rk_status rk_dds_params_init(rk_dds_params* params, size_t struct_size) RK_NOEXCEPT;

/* Each block is encoded from the float samples (clamped to 0..1, NaN as 0)
 * with the library's own encoders, whose error is below that of NVIDIA
 * Texture Tools' best setting (bench/README.md). normal_map without BC5 and
 * srgb without BC7 are refused with RK_ERROR_ARGUMENT. params may be null
 * (defaults). */
RK_API rk_status rk_save_dds_file(const char* utf8_path, const imgbuf* image,
                                  const rk_dds_params* params) RK_NOEXCEPT;
RK_API rk_status rk_save_dds_write(const imgbuf* image, const rk_dds_params* params,
                                   rk_write_fn write, void* user) RK_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* RELIEFKIT_RK_H */
