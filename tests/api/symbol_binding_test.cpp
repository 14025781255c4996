// The host defines functions named like the library's exports and exports them
// from the executable. The library, loaded with dlopen, must still call its own.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "reliefkit.h"

static int g_host_calls = 0;

#define RK_HOST extern "C" __attribute__((visibility("default")))
RK_HOST void init(void) noexcept { ++g_host_calls; }
RK_HOST void cleanup(void) noexcept { ++g_host_calls; }
RK_HOST imgbuf* create_imgbuf(uint32_t, uint32_t) noexcept { return ++g_host_calls, nullptr; }
RK_HOST void delete_imgbuf(imgbuf*) noexcept { ++g_host_calls; }
RK_HOST uint32_t imgbuf_stride_in_bytes(const imgbuf*) noexcept { return ++g_host_calls, 0; }

template <class F>
F sym(void* lib, const char* name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

TEST(SymbolBinding, LibraryCallsItsOwnFunctions) {
    void* lib = dlopen(RK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto lib_init = sym<void (*)()>(lib, "init");
    auto lib_cleanup = sym<void (*)()>(lib, "cleanup");
    auto lib_create = sym<imgbuf* (*)(uint32_t, uint32_t)>(lib, "create_imgbuf");
    auto lib_delete = sym<void (*)(imgbuf*)>(lib, "delete_imgbuf");
    auto lib_luma = sym<imgbuf* (*)(const imgbuf*)>(lib, "calc_luminance");
    auto lib_size = sym<uint32_t (*)(const imgbuf*)>(lib, "imgbuf_buf_size");
    ASSERT_TRUE(lib_init && lib_cleanup && lib_create && lib_delete && lib_luma && lib_size);
    ASSERT_NE(reinterpret_cast<void*>(lib_init), reinterpret_cast<void*>(&init));

    lib_init();
    imgbuf* img = lib_create(3, 2);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(lib_size(img), 96u);  // the library's own stride, not the host's 0
    imgbuf* luma = lib_luma(img);
    ASSERT_NE(luma, nullptr);
    lib_delete(luma);
    lib_delete(img);
    lib_cleanup();
    EXPECT_EQ(g_host_calls, 0);
    dlclose(lib);
}
