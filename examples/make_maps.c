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

/* Prints a UTF-16 text as UTF-8; an unpaired surrogate becomes U+FFFD. */
static void print_utf8(FILE* out, const char16_t* text) {
    for (const char16_t* p = text; *p; ++p) {
        unsigned long c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unsigned long)(*++p - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            fputc((int)c, out);
        } else if (c < 0x800) {
            fprintf(out, "%c%c", (int)(0xC0 | c >> 6), (int)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            fprintf(out, "%c%c%c", (int)(0xE0 | c >> 12), (int)(0x80 | (c >> 6 & 0x3F)),
                    (int)(0x80 | (c & 0x3F)));
        } else {
            fprintf(out, "%c%c%c%c", (int)(0xF0 | c >> 18), (int)(0x80 | (c >> 12 & 0x3F)),
                    (int)(0x80 | (c >> 6 & 0x3F)), (int)(0x80 | (c & 0x3F)));
        }
    }
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

    init(); /* optional: the blur-kernel caches are made now, not on first use */
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
        /* Empty after a successful save, the reason otherwise. */
        char16_t message[RK_MIN_MESSAGE_CAPACITY] = {0};
        const char* failed = argv[2];
        core_saveimage_png(message, RK_MIN_MESSAGE_CAPACITY, height_path, height);
        if (!message[0]) {
            failed = argv[3];
            core_saveimage_nmap_png(message, RK_MIN_MESSAGE_CAPACITY, normal_path, normal, 0, 1, 2);
        }
        if (message[0]) {
            fprintf(stderr, "cannot write %s: ", failed);
            print_utf8(stderr, message);
            fputc('\n', stderr);
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
