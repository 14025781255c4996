/* Built as C11: the public headers must need nothing from C++. */
#include "reliefkit.h"

#include <stdio.h>
#include <string.h>

static int count_bytes(void* user, const void* data, size_t size) {
    (void)data;
    *(size_t*)user += size;
    return 0;
}

int main(void) {
    imgbuf* img = create_imgbuf(2, 3);
    int ok = img != NULL && imgbuf_w(img) == 2 && imgbuf_h(img) == 3 &&
             imgbuf_channels() == 4 && RELIEFKIT_VERSION_MAJOR >= 0;
    delete_imgbuf(img);
    /* The rk_ interface, through the same include: its structs and callback. */
    rk_height_params hp;
    rk_normal_params np;
    rk_png_params pp;
    imgbuf *src = NULL, *height = NULL, *normal = NULL;
    size_t written = 0;
    ok = ok && rk_version() == RK_VERSION && strcmp(rk_version_string(), RK_VERSION_STRING) == 0 &&
         rk_height_params_init(&hp, sizeof hp) == RK_OK &&
         rk_normal_params_init(&np, sizeof np) == RK_OK &&
         rk_png_params_init(&pp, sizeof pp) == RK_OK && rk_image_create(8, 8, &src) == RK_OK &&
         rk_height_map(src, &hp, &height) == RK_OK && rk_normal_map(height, &np, &normal) == RK_OK &&
         rk_save_png_write(normal, &pp, count_bytes, &written) == RK_OK && written > 0 &&
         rk_last_error()[0] == '\0';
    rk_image_free(normal);
    rk_image_free(height);
    rk_image_free(src);
    if (!ok) {
        fprintf(stderr, "C host saw a wrong image record, version or rk_ call: %s\n", rk_last_error());
        return 1;
    }
    return 0;
}
