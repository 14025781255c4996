// JPEG XR decoded in the helper process: every way the helper can fail gives null
// and one reason, and nothing of the helper outlives a load.
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>

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
// of the one reason given; a missing helper, or one that may not be run, is
// named. Waited for with a pidfd and as on a kernel without one: a helper that
// closes its reply and then sleeps is killed at the deadline either way.
TEST(JxrSandbox, HelperFaultsGiveNullAndOneReason) {
    Bytes file = read_bytes(kJxr + "bgr24_20x18.jxr");
    const std::string missing = "/nonexistent/reliefkit-jxr-decode";
    const std::string unrunnable = write_temp("not_executable", {'#', '!'});
    std::filesystem::permissions(unrunnable, std::filesystem::perms::owner_read);
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"crash", RK_FAKE_JXR_HELPER, "the decoder crashed (SIGSEGV)"},
        {"hang_", RK_FAKE_JXR_HELPER, "the decoder timed out after "},
        {"quiet", RK_FAKE_JXR_HELPER, "the decoder timed out after "},
        {"junk_", RK_FAKE_JXR_HELPER, "unreadable reply from the decoder"},
        // Read once the helper ends, though its child still holds the pipe open.
        {"fork_", RK_FAKE_JXR_HELPER, "unreadable reply from the decoder"},
        {"long_", RK_FAKE_JXR_HELPER, "unreadable reply from the decoder"},
        {"oom__", RK_FAKE_JXR_HELPER,
         RK_SANITIZED_BUILD ? "the decoder could not take" : "the decoder ran out of memory"},
        {"none_", RK_FAKE_JXR_HELPER, "the decoder failed (exit status 1)"},
        {"", missing, "the decoder program is missing: " + missing + "."},
        {"", unrunnable, "the decoder program may not be run (no execute permission"},
    };
    for (const bool pidfd_off : {false, true}) {
        rk::set_jxr_pidfd_off_for_tests(pidfd_off);
        for (const auto& [mode, program, reason] : cases) {
            SCOPED_TRACE(std::string(mode) + (pidfd_off ? " without pidfd" : " with pidfd"));
            Bytes with_mode = file;
            with_mode.insert(with_mode.end(), mode, mode + std::strlen(mode));
            // A short limit only where it is waited out: a loaded machine may take
            // longer than that just to start a helper that answers.
            const bool waited_out = reason.starts_with("the decoder timed out");
            rk::set_jxr_helper_for_tests(program, waited_out ? 200 : 0);
            SinkRecorder sink;
            ::testing::internal::CaptureStderr();
            EXPECT_FALSE(Img(load_image(widen(write_temp("fault.jxr", with_mode)).c_str())));
            EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
            rk::set_jxr_helper_for_tests("", 0);
            const Texts texts = sink.texts();
            const auto prefix = std::find(texts.begin(), texts.end(), "JPEG XR image loader: ");
            ASSERT_EQ(std::count(prefix, texts.end(), "JPEG XR image loader: "), 1);
            const std::string& given = texts.at(prefix - texts.begin() + 1);
            EXPECT_TRUE(given.starts_with(reason)) << given;
            EXPECT_TRUE(no_child_left());
        }
    }
    rk::set_jxr_pidfd_off_for_tests(false);
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

// A host whose hard limit on processor time is below what the helper asks for
// still loads JPEG XR: the helper only ever lowers its limits.
TEST(JxrSandbox, LoadsUnderTheHostsLowerLimits) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit cpu{2, 2};
        const bool loaded = ::setrlimit(RLIMIT_CPU, &cpu) == 0 &&
                            Img(load_image(widen(kJxr + "bgr24_20x18.jxr").c_str()));
        ::_exit(loaded ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
}

// Without /dev/null in the host's mount namespace the load says so, rather than
// blaming the decoder program.
TEST(JxrSandbox, MissingNullDeviceIsNamed) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0) {
            ::_exit(2);
        }
        SinkRecorder sink;
        const bool loaded = Img(load_image(widen(kJxr + "bgr24_20x18.jxr").c_str())) != nullptr;
        const Texts texts = sink.texts();
        ::_exit(!loaded && std::count(texts.begin(), texts.end(),
                                      "could not open /dev/null for the decoder's output: "
                                      "No such file or directory.") == 1
                    ? 0
                    : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) GTEST_SKIP() << "no user namespaces";
    EXPECT_EQ(status, 0);
}

// The shared library loaded through a relative name finds its helper from its
// own file, not from the folder the host is in at the first load: here one with
// a lib/ and libexec/ of its own, whose helper never answers.
TEST(JxrSandbox, HelperIsFoundWhateverTheCurrentFolder) {
    const std::filesystem::path library(RK_SHARED_LIBRARY), decoy = process_temp_dir() / "decoy";
    std::filesystem::create_directories(decoy / "lib");
    std::filesystem::create_directories(decoy / "libexec/reliefkit");
    std::ofstream(decoy / "lib" / library.filename()) << "not a library";
    std::filesystem::create_symlink(RK_FAKE_JXR_HELPER,
                                    decoy / "libexec/reliefkit/reliefkit-jxr-decode");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(library.parent_path().parent_path());
    void* handle = ::dlopen(("./lib/" + library.filename().string()).c_str(), RTLD_NOW);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    std::filesystem::current_path(decoy);
    const auto load =
        reinterpret_cast<decltype(&rk_load_memory)>(::dlsym(handle, "rk_load_memory"));
    const Bytes file = read_bytes(kJxr + "bgr24_20x18.jxr");
    imgbuf* image = nullptr;
    EXPECT_EQ(load(file.data(), file.size(), &image), RK_OK);
    reinterpret_cast<decltype(&rk_image_free)>(::dlsym(handle, "rk_image_free"))(image);
    std::filesystem::current_path(previous);
}

// A library loaded from memory has no folder: no helper is looked for beside
// a made-up one (the root's libexec).
TEST(JxrSandbox, ALibraryLoadedFromMemoryRunsNoHelper) {
    const Bytes library = read_bytes(RK_SHARED_LIBRARY);
    const int fd = ::memfd_create("rk", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, library.data(), library.size()), ssize_t(library.size()));
    void* handle = ::dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    const auto load =
        reinterpret_cast<decltype(&rk_load_memory)>(::dlsym(handle, "rk_load_memory"));
    const auto message =
        reinterpret_cast<decltype(&rk_last_error)>(::dlsym(handle, "rk_last_error"));
    const Bytes file = read_bytes(kJxr + "bgr24_20x18.jxr");
    imgbuf* image = nullptr;
    EXPECT_EQ(load(file.data(), file.size(), &image), RK_ERROR_HELPER);
    EXPECT_NE(std::string(message()).find("cannot be located"), std::string::npos) << message();
    ::close(fd);
}

}  // namespace
