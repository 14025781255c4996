/* The host side of fuzz/jxr_mutation_campaign and of the JPEG XR timing: one
 * process that loads many files through load_image, as an application would.
 *
 *   jxr_campaign_driver bmp IN OUT WIDTH HEIGHT   IN resized to a 24-bit BMP
 *   jxr_campaign_driver load LIST                 each path of LIST (one a line):
 *                                                 "ok" or "null", tab, the JPEG XR reason
 *   jxr_campaign_driver time FILE COUNT           loads FILE COUNT times, prints ms each
 */
#define _POSIX_C_SOURCE 200809L
#include <reliefkit.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static char g_reason[512];
static int g_jxr_next;

static void sink(const char* text, void* user) {
    (void)user;
    if (g_jxr_next) {
        snprintf(g_reason, sizeof g_reason, "%s", text);
        g_jxr_next = 0;
    } else if (strcmp(text, "JPEG XR image loader: ") == 0) {
        g_jxr_next = 1;
    }
}

static imgbuf* load(const char* path) {
    char16_t wide[4096];
    size_t n = strlen(path);
    if (n >= 4096) return NULL;
    for (size_t i = 0; i <= n; ++i) wide[i] = (unsigned char)path[i];
    g_reason[0] = '\0';
    g_jxr_next = 0;
    return load_image(wide);
}

static void put32(FILE* f, uint32_t v) {
    for (int i = 0; i < 4; ++i) fputc((int)(v >> (8 * i)) & 255, f);
}

static int write_bmp(const char* in, const char* out, uint32_t w, uint32_t h) {
    imgbuf* photo = load(in);
    imgbuf* small = photo ? imgbuf_resample(photo, w, h) : NULL;
    FILE* f = small ? fopen(out, "wb") : NULL;
    if (!f) return 1;
    const uint32_t row = (w * 3 + 3) & ~3u;
    fputc('B', f);
    fputc('M', f);
    put32(f, 54 + row * h);
    put32(f, 0);
    put32(f, 54);
    put32(f, 40);
    put32(f, w);
    put32(f, h);
    put32(f, 1 | (24u << 16));
    put32(f, 0);
    put32(f, row * h);
    put32(f, 2835);
    put32(f, 2835);
    put32(f, 0);
    put32(f, 0);
    for (uint32_t y = h; y-- > 0;) { /* bottom-up */
        const float* px = imgbuf_row(small, y);
        for (uint32_t x = 0; x < row; ++x) {
            const uint32_t i = x / 3, c = 2 - x % 3;
            fputc(i < w ? (int)(px[i * 4 + c] * 255.0f + 0.5f) : 0, f);
        }
    }
    fclose(f);
    delete_imgbuf(small);
    delete_imgbuf(photo);
    return 0;
}

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    set_debug_output(sink, NULL);
    if (argc == 6 && strcmp(argv[1], "bmp") == 0) {
        return write_bmp(argv[2], argv[3], (uint32_t)atoi(argv[4]), (uint32_t)atoi(argv[5]));
    }
    if (argc == 3 && strcmp(argv[1], "load") == 0) {
        FILE* list = fopen(argv[2], "r");
        char path[4096];
        while (list && fgets(path, sizeof path, list)) {
            path[strcspn(path, "\n")] = '\0';
            imgbuf* img = load(path);
            printf("%s\t%s\n", img ? "ok" : "null", g_reason);
            fflush(stdout);
            delete_imgbuf(img);
        }
        return list ? 0 : 1;
    }
    if (argc == 4 && strcmp(argv[1], "time") == 0) {
        for (int i = 0; i < atoi(argv[3]); ++i) {
            const double start = now_ms();
            imgbuf* img = load(argv[2]);
            printf("%.3f%s\n", now_ms() - start, img ? "" : " (null)");
            delete_imgbuf(img);
        }
        return 0;
    }
    fprintf(stderr, "usage: see the comment at the top of jxr_campaign_driver.c\n");
    return 2;
}
