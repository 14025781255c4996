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
    rk_ao_params ap;
    rk_curvature_params cp;
    rk_roughness_params rp;
    rk_albedo_params bp;
    rk_exr_params ep;
    rk_dds_params dp;
    imgbuf *src = NULL, *height = NULL, *normal = NULL, *maps[4] = {NULL, NULL, NULL, NULL};
    int i;
    size_t written = 0;
    ok = ok && rk_version() == RK_VERSION && strcmp(rk_version_string(), RK_VERSION_STRING) == 0 &&
         rk_height_params_init(&hp, sizeof hp) == RK_OK &&
         rk_normal_params_init(&np, sizeof np) == RK_OK &&
         rk_png_params_init(&pp, sizeof pp) == RK_OK && rk_image_create(8, 8, &src) == RK_OK &&
         rk_height_map(src, &hp, &height) == RK_OK && rk_normal_map(height, &np, &normal) == RK_OK &&
         rk_save_png_write(normal, &pp, count_bytes, &written) == RK_OK && written > 0 &&
         rk_last_error()[0] == '\0';
    /* The light, several photographs and heights from normals: their structs
     * and out-records from C. */
    rk_light light = {.struct_size = sizeof light};
    rk_photometric_params pp3;
    rk_photometric_result got = {.struct_size = sizeof got};
    rk_integrate_params ip;
    const imgbuf* photos[3] = {src, src, src};
    const float azimuths[3] = {0, 120, 240};
    imgbuf* back = NULL;
    float range = -1;
    ok = ok && rk_estimate_light(src, &hp, &light) == RK_OK && light.directional == 0 &&
         rk_photometric_params_init(&pp3, sizeof pp3) == RK_OK &&
         rk_photometric_stereo(photos, 3, azimuths, NULL, &pp3, &got) == RK_OK &&
         got.count == 3 && got.light_azimuth[1] == 120 &&
         rk_integrate_params_init(&ip, sizeof ip) == RK_OK &&
         rk_height_from_normals(got.normal, &ip, &back, &range) == RK_OK && range == 0;
    rk_image_free(got.normal);
    rk_image_free(got.albedo);
    rk_image_free(got.height);
    rk_image_free(back);
    /* The material maps and the EXR and DDS savers. */
    ok = ok && rk_ao_params_init(&ap, sizeof ap) == RK_OK &&
         rk_curvature_params_init(&cp, sizeof cp) == RK_OK &&
         rk_roughness_params_init(&rp, sizeof rp) == RK_OK &&
         rk_albedo_params_init(&bp, sizeof bp) == RK_OK && rk_exr_params_init(&ep, sizeof ep) == RK_OK &&
         rk_dds_params_init(&dp, sizeof dp) == RK_OK && rk_ao_map(height, &ap, &maps[0]) == RK_OK &&
         rk_curvature_map(height, &cp, &maps[1]) == RK_OK &&
         rk_roughness_map(src, &rp, &maps[2]) == RK_OK && rk_albedo_map(src, &bp, &maps[3]) == RK_OK &&
         rk_save_exr_write(maps[0], &ep, count_bytes, &written) == RK_OK &&
         rk_save_dds_write(maps[3], &dp, count_bytes, &written) == RK_OK;
    for (i = 0; i < 4; ++i) rk_image_free(maps[i]);
    rk_image_free(normal);
    rk_image_free(height);
    rk_image_free(src);
    if (!ok) {
        fprintf(stderr, "C host saw a wrong image record, version or rk_ call: %s\n", rk_last_error());
        return 1;
    }
    return 0;
}
