// The rk_ boundary: statuses and messages per calling thread, and texts from the
// library's workers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/rk_call.h"
#include "common/sink.h"
#include "image_helpers.h"
#include "sink_recorder.h"

namespace {

TEST(RkCall, VersionAndStatusTexts) {
    EXPECT_EQ(rk_version(), (uint32_t{RK_VERSION_MAJOR} << 16) | (RK_VERSION_MINOR << 8) |
                                RK_VERSION_PATCH);
    EXPECT_STREQ(rk_version_string(), RK_VERSION_STRING);
    std::set<std::string> texts;
    for (int s = RK_OK; s <= RK_ERROR_INTERNAL; ++s) texts.insert(rk_status_text(rk_status(s)));
    EXPECT_EQ(texts.size(), size_t{RK_ERROR_INTERNAL + 1});  // one text each, none shared
    EXPECT_STREQ(rk_status_text(rk_status(99)), "unknown status");
}

TEST(RkCall, OutcomesBecomeStatusAndMessage) {
    struct Case {
        rk_status (*call)();
        rk_status status;
        const char* message;
    };
    const Case cases[] = {
        {[] { return rk::rk_call("rk_f", [] { return RK_OK; }); }, RK_OK, ""},
        {[] { return rk::rk_call("rk_f", []() -> rk_status { rk::fail(RK_ERROR_LIMIT, "too big"); }); },
         RK_ERROR_LIMIT, "rk_f: too big"},
        {[] { return rk::rk_call("rk_f", []() -> rk_status { throw std::bad_alloc(); }); },
         RK_ERROR_MEMORY, "out of memory"},
        {[] { return rk::rk_call("rk_f", []() -> rk_status { throw std::logic_error("x"); }); },
         RK_ERROR_INTERNAL, "internal error"},
        // A warning of a call that succeeds is not kept.
        {[] { return rk::rk_call("rk_f", [] { return rk::debug_output("warning"), RK_OK; }); },
         RK_OK, ""},
        // A failed call made during one that succeeds (from a write callback) leaves no message.
        {[] { return rk::rk_call("rk_f", [] { return rk_image_create(1, 1, nullptr), RK_OK; }); }, RK_OK, ""},
    };
    for (const Case& c : cases) {
        SinkRecorder sink;
        EXPECT_EQ(c.call(), c.status);
        EXPECT_STREQ(rk_last_error(), c.message);
        // The sink still gets every text; the boundary's own failure text too.
        if (c.status == RK_ERROR_LIMIT) {
            EXPECT_EQ(sink.texts(), Texts{"rk_f: too big"});
        }
    }
}

TEST(RkCall, MessagesArePerThreadAndIncludeWorkerTexts) {
    // Texts of items that run on the library's workers reach the caller's message.
    std::mutex lock;
    std::set<std::thread::id> threads;
    const auto on_workers = [&] {
        return rk::rk_call("rk_f", [&] {
            rk::parallel_for(32, [&](uint32_t i) noexcept {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // room for workers
                rk::debug_output(("item " + std::to_string(i)).c_str());
                const std::lock_guard hold(lock);
                threads.insert(std::this_thread::get_id());
            });
            return RK_ERROR_DAMAGED;
        });
    };
    const std::string message = on_threads(4, [&] { return on_workers(), std::string(rk_last_error()); });
    EXPECT_GT(threads.size(), 1u);
    for (int i = 0; i < 32; ++i)
        EXPECT_NE((message + "\n").find("item " + std::to_string(i) + "\n"), std::string::npos) << i;
    // Another thread's failure leaves this thread's message alone.
    std::thread([] { rk::rk_call("rk_g", []() -> rk_status { rk::fail(RK_ERROR_IO, "gone"); }); })
        .join();
    EXPECT_EQ(rk_last_error(), message);
}

// A child forked inside a call (from a callback) counts that call as one busy
// thread until it ends, never less: its workers still keep to the thread count.
TEST(ThreadPool, AChildForkedInsideACallKeepsTheThreadCount) {
    std::optional<rk::LibraryCall> call(std::in_place);
    const pid_t pid = ::fork();
    call.reset();
    if (pid == 0) {
        std::atomic<int> now{0}, most{0};
        const auto items = [&](uint32_t count) {
            rk::parallel_for(count, [&](uint32_t) noexcept {
                const int n = ++now;
                for (int m = most; n > m && !most.compare_exchange_weak(m, n);) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                --now;
            });
        };
        set_thread_count(4);
        items(8);  // starts three workers
        set_thread_count(2);
        most = 0;
        items(32);
        ::_exit(most <= 2 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    set_thread_count(0);
}

}  // namespace
