// JPEG XR decoded in the helper process: every way the helper can fail gives null
// and one reason, and nothing of the helper outlives a load.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "load/jxr_helper_process.h"
#include "load_test_support.h"

namespace {

const std::string kJxr = RK_TEST_DATA "/jxr/";
const std::string kKnownCrash =
    RK_TEST_DATA "/../../fuzz/known_jxrlib_crashes/damaged_tile_significant_run.jxr";

auto open_descriptors() {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
}

bool no_child_left() {
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Each mode the fake helper is asked for (appended to the file), and the start
// of the one reason given; a missing helper is named.
TEST(JxrSandbox, HelperFaultsGiveNullAndOneReason) {
    Bytes file = read_bytes(kJxr + "bgr24_20x18.jxr");
    const std::string missing = "/nonexistent/reliefkit-jxr-decode";
    const std::pair<const char*, std::string> cases[] = {
        {"crash", "the decoder crashed (SIGSEGV)"},
        {"hang_", "the decoder timed out after "},
        {"junk_", "unreadable reply from the decoder"},
        {"long_", "unreadable reply from the decoder"},
        {"oom__", RK_SANITIZED_BUILD ? "the decoder could not take" : "the decoder ran out of memory"},
        {"none_", "the decoder failed (exit status 1)"},
        {"", "the decoder program is missing: " + missing + "."},
    };
    for (const auto& [mode, reason] : cases) {
        Bytes with_mode = file;
        with_mode.insert(with_mode.end(), mode, mode + std::strlen(mode));
        rk::set_jxr_helper_for_tests(*mode ? RK_FAKE_JXR_HELPER : missing.c_str(), *mode ? 200 : 0);
        SinkRecorder sink;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(Img(load_image(widen(write_temp("fault.jxr", with_mode)).c_str()))) << mode;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        rk::set_jxr_helper_for_tests("", 0);
        const Texts texts = sink.texts();
        const auto prefix = std::find(texts.begin(), texts.end(), "JPEG XR image loader: ");
        ASSERT_EQ(std::count(prefix, texts.end(), "JPEG XR image loader: "), 1) << mode;
        EXPECT_TRUE(texts.at(prefix - texts.begin() + 1).starts_with(reason)) << texts.back();
        EXPECT_TRUE(no_child_left());
    }
}

// The real helper, from several threads at once, with SIGCHLD ignored (children
// are then reaped by the kernel) and with the default: the right answers every
// time, and no process or descriptor left behind.
TEST(JxrSandbox, ConcurrentLoadsLeaveNothingBehind) {
    const size_t descriptors = open_descriptors();
    for (const auto disposition : {SIG_DFL, SIG_IGN}) {
        const auto previous = ::signal(SIGCHLD, disposition);
        SinkRecorder sink;
        std::vector<std::thread> threads;
        std::vector<int> wrong(4, 0);
        for (size_t t = 0; t < wrong.size(); ++t) {
            threads.emplace_back([&wrong, t] {
                for (int i = 0; i < 3; ++i) {
                    for (const std::string& path : {kJxr + "bgr24_20x18.jxr", kKnownCrash}) {
                        const bool loaded = Img(load_image(widen(path).c_str())) != nullptr;
                        wrong[t] += loaded != (path != kKnownCrash);
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        ::signal(SIGCHLD, previous);
        EXPECT_EQ(wrong, std::vector<int>(4, 0));
        const Texts texts = sink.texts();
        // The sink is process-wide, so the threads' texts interleave: count the
        // prefixes and the decoder's reasons rather than pairing neighbours.
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "JPEG XR image loader: "), 12);
        const auto reason = [](const std::string& t) { return t.starts_with("the decoder "); };
        EXPECT_EQ(std::count_if(texts.begin(), texts.end(), reason), 12);
        EXPECT_TRUE(no_child_left());
        EXPECT_EQ(open_descriptors(), descriptors);
    }
}

}  // namespace
