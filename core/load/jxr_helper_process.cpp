#include "load/jxr_helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <new>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "common/checked_size.h"
#include "load/jxr_reply_format.h"

namespace rk {
namespace {

#if defined(__SANITIZE_ADDRESS__)
#define RK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RK_SANITIZED 1
#endif
#endif

#ifdef RK_SANITIZED
// The helper is built with the sanitizers too: AddressSanitizer reserves terabytes
// of address space for its shadow memory at start-up, so no address-space limit
// can be set, and the checks slow the decode down several times.
constexpr uint64_t kAddressSpaceBase = 0;
constexpr uint64_t kSlowdown = 10;
#else
// Room for the helper's code, jxrlib and the C library, then the input, the
// output and jxrlib's working rows, which grow with the picture. (A 4096 x 4096
// picture decodes within 60 MiB; it gets 238.)
constexpr uint64_t kAddressSpaceBase = uint64_t{128} << 20;
constexpr uint64_t kSlowdown = 1;
#endif
constexpr uint64_t kMinTimeoutMs = 3000;
// jxrlib decodes several megapixels a second on one core; the processor-time
// limit allows a quarter of that speed, and it is the real bound on the work.
constexpr uint64_t kPixelsPerCpuMs = 2000;
// The wall clock only catches a helper that sleeps or is stopped, so it allows
// ten times longer: on a busy machine the helper spends most of its time
// waiting for a core, and a valid file is no reason to give up.
constexpr uint64_t kPixelsPerWallMs = kPixelsPerCpuMs / 10;

struct TestSettings {
    std::mutex lock;
    std::string path;
    uint32_t min_timeout_ms = 0;
    bool pidfd_off = false;
} g_test;

class Fd {
  public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

// Decimal text of n (std::to_string would export a table of the standard library
// from the shared library).
std::string decimal(uint64_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(n));
    return text;
}

uint64_t now_ms() noexcept {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

int remaining_ms(uint64_t deadline) noexcept {
    const uint64_t now = now_ms();
    return now >= deadline ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, INT32_MAX));
}

// A descriptor numbered above the helper's 0 to 3, so that setting those up cannot
// close it first (a host that closed its standard streams gets low numbers).
int above_helper_fds(int fd) noexcept {
    if (fd < 0 || fd > 3) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 4);
    ::close(fd);
    return moved;
}

// A sealed memory file holding the bytes: the helper maps it, and nothing can
// change it after the container check has seen the same bytes.
int sealed_copy(std::span<const uint8_t> bytes) noexcept {
    Fd fd(::memfd_create("reliefkit-jxr-input", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd.get() < 0) return -1;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
            0 ||
        ::lseek(fd.get(), 0, SEEK_SET) != 0) {  // the helper may read it from the start
        return -1;
    }
    return above_helper_fds(fd.release());
}

class Spawn {
  public:
    Spawn() noexcept {
        ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
        ok_ = ::posix_spawnattr_init(&attr_) == 0 && ok_;
    }
    ~Spawn() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attr_);
    }
    Spawn(const Spawn&) = delete;
    Spawn& operator=(const Spawn&) = delete;

    // Descriptors 0 (input) and 3 (reply); stdout and stderr go to nowhere (the
    // null device), so that jxrlib's messages never reach the host's streams;
    // nothing else is inherited. Signals start at their defaults and unblocked
    // whatever the host set.
    int start(const std::string& path, char* const argv[], int input, int reply, int nowhere,
              pid_t& pid) {
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        if (!ok_ || ::posix_spawn_file_actions_adddup2(&actions_, input, 0) != 0 ||
            ::posix_spawn_file_actions_adddup2(&actions_, nowhere, 1) != 0 ||
            ::posix_spawn_file_actions_adddup2(&actions_, nowhere, 2) != 0 ||
            ::posix_spawn_file_actions_adddup2(&actions_, reply, 3) != 0 ||
            ::posix_spawn_file_actions_addclosefrom_np(&actions_, 4) != 0 ||
            ::posix_spawnattr_setsigdefault(&attr_, &all) != 0 ||
            ::posix_spawnattr_setsigmask(&attr_, &none) != 0 ||
            ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) !=
                0) {
            return ENOMEM;
        }
        char* empty_environment[] = {nullptr};
        return ::posix_spawn(&pid, path.c_str(), &actions_, &attr_, argv, empty_environment);
    }

  private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attr_{};
    bool ok_ = false;
};

// Reads what is in the pipe without waiting: the helper has ended, so all it
// wrote is there.
void read_what_is_left(int fd, JxrHelperRun& run, size_t capacity) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (run.reply_size < capacity) {
        const ssize_t n = ::read(fd, run.reply.get() + run.reply_size, capacity - run.reply_size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        run.reply_size += static_cast<size_t>(n);
    }
}

// Whether the helper has ended, without reaping it (reap does that). Gone
// altogether counts as ended: a host that ignores SIGCHLD, or reaps every child
// itself, may already have taken it.
bool helper_ended(pid_t pid) noexcept {
    siginfo_t info{};
    const int got = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    return got == 0 ? info.si_pid != 0 : errno == ECHILD;
}

// Reads the reply until the helper closes its end or has ended, the buffer is
// one byte past the longest valid reply, or the deadline passes. False on the
// deadline. The end of the pipe alone is not enough: a host thread that forks
// between pipe2 and the spawn leaves a copy of the writing end in its child,
// which can hold it open long after the helper is gone. So the helper's pidfd
// is watched too, or without one its status is looked at every 20 ms.
bool read_reply(int fd, pid_t pid, int pidfd, JxrHelperRun& run, size_t capacity,
                uint64_t deadline) {
    constexpr int kStatusPollMs = 20;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int left = remaining_ms(deadline);
        const int ready =
            ::poll(p, pidfd >= 0 ? 2 : 1, pidfd >= 0 ? left : std::min(left, kStatusPollMs));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return true;
        if ((p[1].revents & POLLIN) ||
            (pidfd < 0 && (p[0].revents & POLLIN) == 0 && helper_ended(pid))) {
            read_what_is_left(fd, run, capacity);
            return true;
        }
        if (ready == 0 && remaining_ms(deadline) == 0) return false;
        if (ready == 0) continue;
        if (run.reply_size == capacity) return true;  // longer than any valid reply
        const ssize_t n = ::read(fd, run.reply.get() + run.reply_size, capacity - run.reply_size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return true;
        run.reply_size += static_cast<size_t>(n);
    }
}

void pause_ms(uint64_t ms) noexcept {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Without a pidfd (kernels before 5.3) the status is polled, in pauses growing
// to 20 ms, so that the deadline holds on every kernel. The helper is not
// reaped before a kill, so its number stays its own until then; only when the
// host ignores SIGCHLD could the kernel reap it between the last poll and the
// kill, a window of microseconds. False when the status is lost.
bool wait_polling(pid_t pid, uint64_t deadline, bool& kill_now, int& status) {
    for (uint64_t pause = 1;; pause = std::min<uint64_t>(pause * 2, 20)) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return true;
        if (got < 0 && errno != EINTR) return false;
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        pause_ms(std::min<uint64_t>(pause, static_cast<uint64_t>(left)));
    }
    kill_now = true;
    return false;
}

// Waits for the helper to end, at most until the deadline, then kills it; the
// process is always reaped. A pidfd names exactly this process, so a signal can
// never reach another that reused its number. With SIGCHLD ignored (or a host
// handler that reaps every child) the status is lost: false then. kill_now is
// set when the helper had to be killed.
bool reap(pid_t pid, int pidfd, uint64_t deadline, bool& kill_now, int& status) {
    if (pidfd >= 0 && !kill_now) {
        pollfd p{pidfd, POLLIN, 0};
        while (::poll(&p, 1, remaining_ms(deadline)) < 0 && errno == EINTR) {
        }
        kill_now = (p.revents & POLLIN) == 0;
    } else if (!kill_now) {
        if (wait_polling(pid, deadline, kill_now, status)) return true;
        if (!kill_now) return false;
    }
    if (kill_now) {
        if (pidfd >= 0) {
            ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        } else {
            ::kill(pid, SIGKILL);
        }
    }
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) return true;
        if (errno != EINTR) return false;
    }
}

std::string signal_reason(int sig) {
    switch (sig) {
        case SIGSYS:
            return "the decoder broke its sandbox (a forbidden system call)";
        case SIGXCPU:
            return "the decoder ran out of processor time";
        case SIGKILL:
            return "the decoder was killed";
        default:
            break;
    }
    const char* name = ::sigabbrev_np(sig);
    return std::string("the decoder crashed (SIG") + (name ? name : "?") + ")";
}

std::string helper_program(uint32_t& min_timeout_ms, bool& pidfd_off) {
    std::lock_guard hold(g_test.lock);
    min_timeout_ms = g_test.min_timeout_ms ? g_test.min_timeout_ms : kMinTimeoutMs;
    pidfd_off = g_test.pidfd_off;
    return g_test.path.empty() ? jxr_helper_path() : g_test.path;
}

}  // namespace

void set_jxr_helper_for_tests(const std::string& path, uint32_t min_timeout_ms) {
    std::lock_guard hold(g_test.lock);
    g_test.path = path;
    g_test.min_timeout_ms = min_timeout_ms;
}

void set_jxr_pidfd_off_for_tests(bool off) {
    std::lock_guard hold(g_test.lock);
    g_test.pidfd_off = off;
}

JxrHelperRun run_jxr_helper(std::span<const uint8_t> file, uint32_t width, uint32_t height) {
    JxrHelperRun run;
    const auto pixel_bytes = checked_product(width, height, 3);
    if (!pixel_bytes) {
        run.failure = "the picture is too large";
        run.status = RK_ERROR_LIMIT;
        return run;
    }
    const uint64_t pixels = uint64_t{width} * height;
    uint32_t min_timeout_ms = 0;
    bool pidfd_off = false;
    const std::string program = helper_program(min_timeout_ms, pidfd_off);
    const uint64_t timeout_ms = (min_timeout_ms + pixels / kPixelsPerWallMs) * kSlowdown;
    const uint64_t address_space =
        kAddressSpaceBase ? kAddressSpaceBase + 2 * file.size() + 6 * pixels : 0;
    const uint64_t cpu_seconds = (min_timeout_ms + pixels / kPixelsPerCpuMs) * kSlowdown / 1000 + 2;

    // The declared picture may not fit in memory: a reason, not an exception
    // that could only say the same thing less precisely.
    const size_t capacity = kJxrReplyHeaderBytes + *pixel_bytes + 1;
    run.reply.reset(new (std::nothrow) uint8_t[capacity]);
    if (!run.reply) {
        run.failure = "not enough memory for the picture";
        run.status = RK_ERROR_MEMORY;
        return run;
    }
    run.status = RK_ERROR_HELPER;  // every failure from here on is the helper's
    if (program.empty()) {
        run.failure = "the decoder program cannot be located (the library's own file is unknown)";
        return run;
    }

    // Opened here rather than by the spawn, whose failure to open it would look
    // like a missing decoder program.
    const Fd nowhere(above_helper_fds(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
    if (nowhere.get() < 0) {
        run.failure = std::string("could not open /dev/null for the decoder's output: ") +
                      ::strerrordesc_np(errno);
        return run;
    }
    const Fd input(sealed_copy(file));
    int ends[2];
    if (input.get() < 0 || ::pipe2(ends, O_CLOEXEC) != 0) {
        run.failure =
            std::string("could not hand the file to the decoder: ") + ::strerrordesc_np(errno);
        return run;
    }
    const Fd reply_read(ends[0]);
    Fd reply_write(above_helper_fds(ends[1]));
    if (reply_write.get() < 0) {
        run.failure = "could not hand the file to the decoder: no descriptor";
        return run;
    }
    // Fewer, larger transfers of the pixels.
    ::fcntl(reply_read.get(), F_SETPIPE_SZ, 1 << 20);

    std::string args[] = {program, decimal(width), decimal(height), decimal(address_space),
                          decimal(cpu_seconds)};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), nullptr};
    pid_t pid = -1;
    const int started =
        Spawn().start(program, argv, input.get(), reply_write.get(), nowhere.get(), pid);
    if (started != 0) {
        run.failure =
            started == ENOENT ? "the decoder program is missing: " + program
            : started == EACCES
                ? "the decoder program may not be run (no execute permission "
                  "on it or its folder): " +
                      program
                : "could not start the decoder: " + std::string(::strerrordesc_np(started));
        return run;
    }
    // Only the helper holds the writing end now, unless a host thread forked
    // meanwhile (read_reply watches for that).
    reply_write.reset();
    const Fd pidfd(pidfd_off ? -1 : static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    const uint64_t deadline = now_ms() + timeout_ms;
    bool killed = !read_reply(reply_read.get(), pid, pidfd.get(), run, capacity, deadline);
    const bool overlong = run.reply_size == capacity;  // no valid reply is this long
    bool kill_now = killed || overlong;
    int status = 0;
    const bool known = reap(pid, pidfd.get(), deadline, kill_now, status);
    killed = kill_now && !overlong;
    if (overlong) {
        run.failure = "unreadable reply from the decoder";
    } else if (killed) {
        run.failure = "the decoder timed out after " + decimal(timeout_ms) + " ms";
    } else if (!known && run.reply_size == 0) {
        run.failure = "the decoder ended without answering (the host took its exit status)";
    } else if (known && WIFSIGNALED(status)) {
        run.failure = signal_reason(WTERMSIG(status));
    } else if (known && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        run.failure = "the decoder failed (exit status " + decimal(WEXITSTATUS(status)) + ")";
    }
    if (run.failure.empty()) run.status = RK_OK;
    return run;
}

}  // namespace rk
