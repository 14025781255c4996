// A child forked while another thread is inside the thread pool's lock, before
// any parallel work started a worker, can still call the library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "reliefkit.h"

TEST(ThreadPoolFork, AChildForkedDuringAnyCallCanCallTheLibrary) {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) set_thread_count(2);  // takes the pool's lock, starts no worker
    });
    bool hung = false;
    for (int i = 0; i < 300 && !hung; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            set_thread_count(1);
            ::_exit(0);
        }
        int status = 0;
        for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
            if (waited == 200) hung = ::kill(child, SIGKILL) == 0;  // 2 s
            ::usleep(10000);
        }
    }
    stop = true;
    busy.join();
    EXPECT_FALSE(hung);
}
