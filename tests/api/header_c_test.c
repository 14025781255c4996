/* Built as C11: the public header must need nothing from C++. */
#include "reliefkit.h"

#include <stdio.h>

int main(void) {
    imgbuf* img = create_imgbuf(2, 3);
    int ok = img != NULL && imgbuf_w(img) == 2 && imgbuf_h(img) == 3 &&
             imgbuf_channels() == 4 && RELIEFKIT_VERSION_MAJOR >= 0;
    delete_imgbuf(img);
    if (!ok) {
        fprintf(stderr, "C host saw a wrong image record\n");
        return 1;
    }
    return 0;
}
