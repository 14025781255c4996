/* rk_maps: make_maps.c on the rk_ interface. Loads a photograph, derives its
 * height map and its normal map, and saves both as PNG: the same files as
 * make_maps writes. "-" as PHOTO reads the photograph from standard input (any
 * format, told by its content); "-" as NORMAL.png writes that map to standard
 * output.
 *
 *     rk_maps PHOTO HEIGHT.png NORMAL.png
 */
#include <reliefkit.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The whole of a stream in memory; null when it cannot be read. */
static unsigned char* read_all(FILE* in, size_t* size) {
    size_t capacity = 1 << 16;
    unsigned char* data = malloc(capacity);
    *size = 0;
    while (data) {
        *size += fread(data + *size, 1, capacity - *size, in);
        if (*size < capacity) break;
        unsigned char* grown = realloc(data, capacity *= 2);
        if (!grown) free(data);
        data = grown;
    }
    if (data && ferror(in)) {
        free(data);
        data = NULL;
    }
    return data;
}

/* rk_save_png_write's output: the PNG's blocks, in order. Non-zero stops the save. */
static int write_to(void* user, const void* data, size_t size) {
    return fwrite(data, 1, size, (FILE*)user) != size;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s PHOTO HEIGHT.png NORMAL.png\n", argv[0]);
        return 2;
    }
    imgbuf *photo = NULL, *height = NULL, *normal = NULL;
    const char* step = argv[1];
    rk_status s;
    if (strcmp(argv[1], "-") == 0) {
        size_t size = 0;
        unsigned char* data = read_all(stdin, &size);
        s = data ? rk_load_memory(data, size, &photo) : RK_ERROR_IO;
        free(data); /* the image owns its pixels: the bytes can go at once */
    } else {
        s = rk_load_file(argv[1], &photo); /* a UTF-8 path, as given */
    }

    if (s == RK_OK) {
        /* The command's defaults but for two fields: make_maps reads luminance as
         * height, not the de-lit shading, and uses no detail filter. */
        rk_height_params hp;
        rk_height_params_init(&hp, sizeof hp);
        hp.mode = RK_HEIGHT_LUMINANCE;
        hp.detail_size = 0;
        s = rk_height_map(photo, &hp, &height);
    }
    /* NULL params: the defaults (strength 2, Sobel's centre tap, no blur). */
    if (s == RK_OK) s = rk_normal_map(height, NULL, &normal);
    if (s == RK_OK) {
        step = argv[2];
        s = rk_save_png_file(argv[2], height, NULL); /* 8-bit RGB, as core_saveimage_png */
    }
    if (s == RK_OK) {
        step = argv[3];
        s = strcmp(argv[3], "-") == 0 ? rk_save_png_write(normal, NULL, write_to, stdout)
                                      : rk_save_png_file(argv[3], normal, NULL);
    }
    if (s != RK_OK) {
        /* The whole message: for a load, every reader's reason on a line of its own. */
        fprintf(stderr, "%s: %s\n%s\n", step, rk_status_text(s), rk_last_error());
    }

    rk_image_free(normal); /* null is ignored */
    rk_image_free(height);
    rk_image_free(photo);
    return s == RK_OK ? 0 : 1;
}
