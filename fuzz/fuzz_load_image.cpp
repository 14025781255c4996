// load_image on arbitrary bytes, held in a memory file (memfd) and named by its
// /proc/self/fd path: no file in any directory. That name has no .jxr suffix,
// so load_image never offers the bytes to the JPEG XR reader (fuzz_load_memory
// does). Otherwise load_image and rk_load_memory must agree, both ways: they
// are the same readers on a different byte source. Whatever one accepts, the
// other gives with the same bits, but for a JPEG cut inside its picture, which
// load_image finishes with grey and rk_load_memory refuses as damaged, saying
// so. rk_load_file, given the same name, must give rk_load_memory's status and
// bits (it tells JPEG XR by content too, so such data is left to
// fuzz_load_memory).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"

namespace {

// As the loader tells JPEG XR by content: "II", 0xBC and version 0 or 1.
// rk_load_memory hands such data to the helper process; load_image, offered it
// under a name that is not JPEG XR's, finds no other format in it ("II" begins
// no PNG, JPEG or DDS file and is no colour-map type of TGA's).
bool starts_as_jpeg_xr(const uint8_t* data, size_t size) {
    return size >= 4 && data[0] == 'I' && data[1] == 'I' && data[2] == 0xBC && data[3] <= 1;
}

// Whether rk_load_file gives what rk_load_memory gave (status, and image or null).
bool same_as_file(const std::string& name, rk_status status, const imgbuf* img) {
    imgbuf* same = nullptr;
    const bool agree =
        rk_load_file(name.c_str(), &same) == status && (!img || fuzz::same_pixels(img, same));
    rk_image_free(same);
    return agree;
}

// Whether rk_load_memory, and rk_load_file on name, give what load_image gave
// (img, or null).
bool same_as_memory(const imgbuf* img, const uint8_t* data, size_t size, const std::string& name) {
    imgbuf* same = nullptr;
    const rk_status status = rk_load_memory(data, size, &same);
    const bool cut = status == RK_ERROR_DAMAGED &&
                     std::strstr(rk_last_error(), "Image data cut short.") != nullptr;
    const bool agree = img ? (status == RK_OK ? fuzz::same_pixels(img, same) : cut)
                           : status != RK_OK;
    const bool file_agrees = same_as_file(name, status, same);
    rk_image_free(same);
    return agree && file_agrees;
}

}  // namespace

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
    if (img && !fuzz::within_block_cap(img)) std::abort();
    const bool agree = starts_as_jpeg_xr(data, size) ? !img : same_as_memory(img, data, size, name);
    if (!agree) std::abort();
    delete_imgbuf(img);
    return 0;
}
