/* make_maps: the smallest reliefkit host. Loads a photograph, derives its
 * height map and its normal map, and saves both as PNG.
 *
 *     make_maps PHOTO HEIGHT.png NORMAL.png
 */
#include <locale.h>
#include <reliefkit.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>
#include <wchar.h>

/* The library takes UTF-16 paths: convert one from the locale's encoding.
 * Null when the name does not convert; the caller frees the result. */
static char16_t* utf16_path(const char* path) {
    const char* at = path;
    const char* end = path + strlen(path);
    /* A character of n bytes never gives more than n code units. */
    char16_t* out = calloc((size_t)(end - path) + 1, sizeof *out);
    size_t units = 0;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    while (out && (at < end || !mbsinit(&state))) {
        const size_t used = mbrtoc16(&out[units], at, (size_t)(end - at), &state);
        if (used == (size_t)-1 || used == (size_t)-2 || used == 0) {
            free(out);
            return NULL;
        }
        ++units;
        if (used != (size_t)-3) at += used; /* -3: the second half of a surrogate pair */
    }
    return out;
}

/* The readers explain a file they cannot read through this sink. */
static void print_diagnostic(const char* text, void* user) {
    (void)user;
    fprintf(stderr, "  %s\n", text);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s PHOTO HEIGHT.png NORMAL.png\n", argv[0]);
        return 2;
    }
    setlocale(LC_CTYPE, "");
    char16_t* photo_path = utf16_path(argv[1]);
    char16_t* height_path = utf16_path(argv[2]);
    char16_t* normal_path = utf16_path(argv[3]);
    if (!photo_path || !height_path || !normal_path) {
        fprintf(stderr, "a file name does not convert to UTF-16\n");
        return 2;
    }

    init(); /* the generators take their blur kernels from caches made here */
    set_debug_output(print_diagnostic, NULL);

    int status = 1;
    imgbuf* photo = load_image(photo_path);
    /* Luminance as height (mode 7), darkest level at 0, a light 3-tap Gaussian
     * smoothing; the three weights only need to be non-zero. */
    imgbuf* height = photo ? calc_heightmap_from_photo(photo, 7, HM_AUTO_LEVELS | HM_SMOOTH, 0.5f,
                                                       0.0f, 1.0f, 0, 0.0f, 1.0f, 1.0f, 1.0f, 3, 0)
                           : NULL;
    /* Strength 2, Sobel weights (centre 1), no inversion, no blur. */
    imgbuf* normal = height ? calc_normalmap_from_heightmap(height, 0, 0, 2, 1, 0, 0) : NULL;
    if (!photo) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
    } else if (!normal) {
        fprintf(stderr, "not enough memory for the maps of %s\n", argv[1]);
    } else {
        char16_t message[64] = {0}; /* empty after a successful save */
        core_saveimage_png(message, 64, height_path, height);
        if (!message[0]) core_saveimage_nmap_png(message, 64, normal_path, normal, 0, 1, 2);
        if (message[0]) {
            fprintf(stderr, "cannot write %s or %s\n", argv[2], argv[3]);
        } else {
            status = 0;
        }
    }

    delete_imgbuf(normal);
    delete_imgbuf(height);
    delete_imgbuf(photo);
    cleanup();
    free(photo_path);
    free(height_path);
    free(normal_path);
    return status;
}
