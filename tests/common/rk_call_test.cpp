// The rk_ boundary: statuses and messages per calling thread, texts from the
// library's workers, and the struct_size rule of the parameter structs.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/rk_params.h"
#include "common/sink.h"
#include "image_helpers.h"
#include "sink_recorder.h"

namespace {

TEST(RkCall, VersionAndStatusTexts) {
    EXPECT_EQ(rk_version(), (uint32_t{RK_VERSION_MAJOR} << 16) | (RK_VERSION_MINOR << 8) |
                                RK_VERSION_PATCH);
    EXPECT_EQ(rk_version(), uint32_t{RK_VERSION});
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
        // Texts before the failure lead, joined as the command joins them.
        {[] {
             return rk::rk_call("rk_f", [] {
                 rk::debug_output("DDS image loader: ");
                 rk::debug_output("File too small.");
                 rk::debug_output("jpeglib error:\n");
                 rk::debug_output("Bogus");
                 return RK_ERROR_FORMAT;
             });
         },
         RK_ERROR_FORMAT, "DDS image loader: File too small.\njpeglib error:\nBogus"},
        // A warning of a call that succeeds is not kept.
        {[] { return rk::rk_call("rk_f", [] { return rk::debug_output("warning"), RK_OK; }); },
         RK_OK, ""},
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

struct TestParams {
    uint32_t struct_size;
    uint32_t a;
    float b;
};
constexpr TestParams kDefaults{sizeof(TestParams), 7, 0.5f};

TEST(RkCall, StructSizeRule) {
    struct Case {
        uint32_t struct_size;
        rk_status status;
        uint32_t a = 0;
        float b = 0;
    };
    const Case cases[] = {
        {12, RK_OK, 1, 2.0f},   // this library's size: every field given
        {8, RK_OK, 1, 0.5f},    // an older struct: b from the defaults
        {4, RK_OK, 7, 0.5f},    // only struct_size
        {16, RK_ERROR_VERSION}, // a newer struct
        {0, RK_ERROR_ARGUMENT},
        {6, RK_ERROR_ARGUMENT},
    };
    for (const Case& c : cases) {
        const TestParams given{c.struct_size, 1, 2.0f};
        TestParams used{};
        const rk_status status = rk::rk_call("rk_f", [&] {
            used = rk::params_or_defaults(&given, kDefaults, "test_params");
            return RK_OK;
        });
        EXPECT_EQ(status, c.status) << c.struct_size;
        if (status != RK_OK) continue;
        EXPECT_EQ(used.struct_size, sizeof(TestParams));
        EXPECT_EQ(used.a, c.a);
        EXPECT_EQ(used.b, c.b);
    }
    // The init fills only the bytes the caller has.
    TestParams older{0, 99, 99.0f};
    EXPECT_EQ(rk::rk_call("rk_f", [&] { return rk::init_params(&older, 8, kDefaults, "t"); }), RK_OK);
    EXPECT_EQ(older.struct_size, 8u);
    EXPECT_EQ(older.a, 7u);
    EXPECT_EQ(older.b, 99.0f);
    EXPECT_EQ(rk::rk_call("rk_f", [&] { return rk::init_params(&older, 16, kDefaults, "t"); }),
              RK_ERROR_VERSION);
}

}  // namespace
