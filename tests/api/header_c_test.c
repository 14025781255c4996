/* Built as C11: the public headers must need nothing from C++. */
#include "reliefkit.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    imgbuf* img = create_imgbuf(2, 3);
    int ok = img != NULL && imgbuf_w(img) == 2 && imgbuf_h(img) == 3 &&
             imgbuf_channels() == 4 && RELIEFKIT_VERSION_MAJOR >= 0;
    delete_imgbuf(img);
    /* The rk_ interface, through the same include. */
    ok = ok && rk_version() == RK_VERSION && strcmp(rk_version_string(), RK_VERSION_STRING) == 0 &&
         rk_status_text(RK_ERROR_INTERNAL) != NULL && rk_last_error()[0] == '\0';
    if (!ok) {
        fprintf(stderr, "C host saw a wrong image record or version\n");
        return 1;
    }
    return 0;
}
