// load_image on arbitrary bytes, held in a memory file (memfd) and named by its
// /proc/self/fd path: no file in any directory. That name has no .jxr suffix,
// so load_image never offers the bytes to the JPEG XR reader (fuzz_load_memory
// does). Whatever load_image accepts, rk_load_memory must give with the same
// bits: both are the same readers on a different byte source. The one
// difference: a JPEG cut inside its picture, which load_image finishes with
// grey and rk_load_memory refuses as damaged, saying so.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("rk_fuzz_load_image", MFD_CLOEXEC);
    static const std::string name = "/proc/self/fd/" + std::to_string(fd);
    static const std::u16string path(name.begin(), name.end());
    if (fd < 0 || ftruncate(fd, 0) != 0) std::abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    imgbuf* img = load_image(path.c_str());
    const bool jxr = size >= 3 && data[0] == 'I' && data[1] == 'I' && data[2] == 0xBC;
    if (img) {
        if (!fuzz::within_block_cap(img)) std::abort();
        imgbuf* same = nullptr;
        const rk_status status = jxr ? RK_OK : rk_load_memory(data, size, &same);
        const bool cut = status == RK_ERROR_DAMAGED &&
                         std::strstr(rk_last_error(), "Image data cut short.") != nullptr;
        if (status != RK_OK && !cut) std::abort();
        if (!cut && !fuzz::same_pixels(img, jxr ? img : same)) std::abort();
        rk_image_free(same);
    }
    delete_imgbuf(img);
    return 0;
}
