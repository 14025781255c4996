// A child forked while another thread is inside the thread pool's lock, before
// any parallel work started a worker, can still call the library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "reliefkit.h"

TEST(ThreadPoolFork, AChildForkedDuringAnyCallCanCallTheLibrary) {
    get_thread_count();  // the pool is made here, not during a fork
    const std::jthread busy([](std::stop_token stop) {
        while (!stop.stop_requested()) set_thread_count(2);  // takes the lock, starts no worker
    });
    int hung = 0;
    for (int i = 0; i < 300 && !hung; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            set_thread_count(1);
            ::_exit(0);
        }
        for (int waited = 0; ::waitpid(child, nullptr, WNOHANG) == 0; ++waited, ::usleep(10000))
            hung += waited == 1000 && ::kill(child, SIGKILL) == 0;  // 10 s
    }
    EXPECT_EQ(hung, 0);
}
