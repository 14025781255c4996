// A child forked while another thread is inside one of the library's locks
// (the thread pool's before any parallel work started a worker, the
// diagnostics sink's, the blur kernels') can still call the library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "reliefkit.h"

namespace {

// Forks up to 300 times while busy runs in a loop on another thread; each
// child runs child and exits. Returns how many children hung (killed after
// 10 s; the first one ends the loop).
int hung_children(const std::function<void()>& busy, void (*child)()) {
    const std::jthread parent_work([&](std::stop_token stop) {
        while (!stop.stop_requested()) busy();
    });
    int hung = 0;
    for (int i = 0; i < 300 && !hung; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            child();
            ::_exit(0);
        }
        for (int waited = 0; ::waitpid(pid, nullptr, WNOHANG) == 0; ++waited, ::usleep(1000))
            hung += waited == 10000 && ::kill(pid, SIGKILL) == 0;  // 10 s
    }
    return hung;
}

void no_sink(const char*, void*) {}

imgbuf* tiny_image() {
    imgbuf* img = nullptr;
    rk_image_create(4, 4, &img);
    for (int i = 0; i < 64; ++i) rk_image_pixels(img)[i] = float(i % 5) / 5.0f;
    return img;
}

// A normal map blurred by a kernel of blur_size taps (built on first use).
void blurred_normals(const imgbuf* img, uint32_t blur_size) {
    rk_normal_params params;
    rk_normal_params_init(&params, sizeof params);
    params.blur_size = blur_size;
    imgbuf* out = nullptr;
    rk_normal_map(img, &params, &out);
    rk_image_free(out);
}

TEST(Fork, AChildForkedDuringAnyCallCanCallTheLibrary) {
    get_thread_count();  // the pool is made here, not during a fork
    // Takes the pool's lock, starts no worker.
    EXPECT_EQ(hung_children([] { set_thread_count(2); }, [] { set_thread_count(1); }), 0);
    // Takes the sink's lock; the child's failed load reports through it.
    EXPECT_EQ(hung_children([] { set_debug_output(no_sink, nullptr); },
                            [] {
                                imgbuf* out = nullptr;
                                rk_load_memory("junk", 4, &out);
                            }),
              0);
    set_debug_output(nullptr, nullptr);
    // Builds blur kernels under their lock (the only thread calling the
    // library, so cleanup() may run); the child builds one too. The address
    // checker's own allocator can be forked while held by the busy thread.
    if (RK_SANITIZED_BUILD) return;
    set_thread_count(1);
    static imgbuf* const img = tiny_image();
    EXPECT_EQ(hung_children(
                  [] {
                      cleanup();
                      for (uint32_t size = 200; size < 254; size += 3) blurred_normals(img, size);
                  },
                  [] { blurred_normals(img, 201); }),
              0);
    rk_image_free(img);
}

// exit() runs the library's static destructors while a host thread may still
// be inside a call that hands items to the workers.
TEST(Fork, TheProcessExitsCleanlyWhileAHostThreadIsInACall) {
    for (int i = 0; i < 20; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            set_thread_count(2);
            imgbuf* img = nullptr;
            rk_image_create(256, 256, &img);
            std::thread([img] {
                for (;;) blurred_normals(img, 5);
            }).detach();
            ::usleep(2000 + 500 * i);
            std::exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << i;
    }
}

}  // namespace
