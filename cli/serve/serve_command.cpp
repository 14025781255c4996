#include "serve_command.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "relief_server.h"
#include "reliefkit.h"
#include "text_conversion.h"

extern char** environ;

namespace rkserve {
namespace {

constexpr int kUsageError = 2;

constexpr std::string_view kServeHelp =
    "Usage: reliefkit serve [OPTION]... [PHOTO]\n"
    "Serves a page to tune the maps of a photograph by eye in a browser, and shows\n"
    "the reliefkit command line that makes the same maps. PHOTO is offered to each\n"
    "page that opens.\n"
    "\n"
    "      --port N           Port to listen on (0: any free one; default 8077).\n"
    "      --listen ADDR      Address to listen on (default 127.0.0.1, this machine\n"
    "                         only). Anyone who reaches ADDR can use the server.\n"
    "      --open             Open the page in the desktop's browser (xdg-open).\n"
    "      --max-upload MIB   Largest upload in MiB (default 64).\n"
    "      --max-pixels N     Largest image in pixels (default 40000000).\n"
    "      --max-sessions N   Photographs held at once (default 16).\n"
    "      --idle-timeout S   Seconds after which an unused session ends (default 1800).\n"
    "      --workers N        Sets of maps made at once (default 2).\n"
    "  -h, --help             Show this help and exit.\n";

struct ServeOptions {
    int port = 8077;
    std::string listen = "127.0.0.1";
    bool listen_given = false;
    bool open = false;
    ServeLimits limits;
    std::string photo;
    bool help = false;
};

bool parse_number(std::string_view text, uint64_t low, uint64_t high, uint64_t& into) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    into = value;
    return true;
}

// Stores the value of an option that takes one; answers the usage error, or
// empty when the value is good.
std::string set_value(std::string_view name, std::string_view value, ServeOptions& o) {
    uint64_t n = 0;
    const auto number = [&](uint64_t low, uint64_t high) {
        return parse_number(value, low, high, n)
                   ? std::string()
                   : rkcli::concat(name, " takes a whole number from ", std::to_string(low), " to ",
                                   std::to_string(high), ", not \"", value, "\"");
    };
    std::string error;
    if (name == "--port") {
        error = number(0, 65535);
        o.port = static_cast<int>(n);
    } else if (name == "--listen") {
        // An empty address names none: the system would pick one (::1), while
        // the URL printed and the warning would name none.
        if (value.empty()) error = "--listen needs an address, such as 127.0.0.1";
        o.listen = value;
        o.listen_given = true;
    } else if (name == "--max-upload") {
        error = number(1, 4096);
        o.limits.max_upload_bytes = static_cast<size_t>(n) << 20;
    } else if (name == "--max-pixels") {
        error = number(1, 1'000'000'000);
        o.limits.max_pixels = n;
    } else if (name == "--max-sessions") {
        error = number(1, 1000);
        o.limits.max_sessions = static_cast<unsigned>(n);
    } else if (name == "--idle-timeout") {
        error = number(1, 7 * 24 * 3600);
        o.limits.idle_timeout = std::chrono::seconds(n);
    } else if (name == "--workers") {
        error = number(1, 64);
        o.limits.work_slots = static_cast<unsigned>(n);
    }
    return error;
}

// The options set_value stores.
constexpr std::string_view kValueOptions[] = {"--port",       "--listen",       "--max-upload",
                                              "--max-pixels", "--max-sessions", "--idle-timeout",
                                              "--workers"};

// Answers the usage error, empty when the arguments are good. As the main
// command's: a value follows its option or comes after '=', and after "--"
// every argument is a photograph, even one that starts with '-'.
std::string parse(std::span<const std::string_view> args, ServeOptions& o) {
    bool only_photos = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (only_photos || arg == "-" || !arg.starts_with('-')) {
            if (!o.photo.empty()) return "serve takes one photograph";
            o.photo = arg;
            continue;
        }
        if (arg == "--") {
            only_photos = true;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        if (name == "-h" || name == "--help" || name == "--open") {
            if (eq != std::string_view::npos) return rkcli::concat(name, " takes no value");
            if (name == "--open") {
                o.open = true;
                continue;
            }
            o.help = true;
            return {};
        }
        // Told before any value is looked for: the next argument is not its value.
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) ==
            std::end(kValueOptions)) {
            return rkcli::concat("unknown option ", name);
        }
        if (eq == std::string_view::npos && i + 1 >= args.size()) {
            return rkcli::concat(name, " needs a value");
        }
        const std::string_view value =
            eq == std::string_view::npos ? args[++i] : arg.substr(eq + 1);
        if (std::string error = set_value(name, value, o); !error.empty()) return error;
    }
    return {};
}

void open_in_browser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
        std::cerr << "reliefkit serve: cannot run xdg-open; open " << url << " in a browser\n";
        return;
    }
    // Reaped on a thread of its own, so that no zombie stays behind; with no
    // thread to be had, it stays a zombie until the server ends.
    try {
        std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    } catch (const std::system_error&) {
    }
}

// The photograph named on the command line, read as the library's readers read
// a file: only a regular file, opened without blocking (a FIFO with no writer
// cannot hold the server), and no larger than an upload may be. Answers why
// not, empty when bytes holds the file.
std::string read_photo(const std::string& path, size_t most, std::string& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    std::string why;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_RDONLY) != 0) {
        why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > most) {
        why = "larger than " + std::to_string(most >> 20) + " MiB (--max-upload)";
    } else {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        bytes.resize(done);
        if (bytes.empty()) why = "it is empty or unreadable";
    }
    ::close(fd);
    return why;
}

// Keeps init and cleanup paired around all library work.
struct Library {
    Library() { init(); }
    ~Library() { cleanup(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

}  // namespace

int serve_main(std::span<const std::string_view> args) {
    ServeOptions o;
    if (const std::string error = parse(args, o); !error.empty()) {
        std::cerr << "reliefkit serve: " << error << "\nTry 'reliefkit serve --help'.\n";
        return kUsageError;
    }
    if (o.help) {
        std::cout << kServeHelp;
        return 0;
    }
    std::optional<StartupPhoto> startup;
    if (!o.photo.empty()) {
        std::string bytes;
        if (const std::string why = read_photo(o.photo, o.limits.max_upload_bytes, bytes);
            !why.empty()) {
            std::cerr << "reliefkit serve: cannot read " << rkcli::printable(o.photo) << ": " << why
                      << "\n";
            return 1;
        }
        startup =
            StartupPhoto{std::filesystem::path(o.photo).filename().string(), std::move(bytes)};
    }
    const bool loopback = loopback_address(o.listen);
    if (!loopback) {
        std::cerr << "reliefkit serve: warning: listening on " << o.listen
                  << ": anyone who can reach that address can use this server, which has no "
                     "password\n";
    }

    // Few malloc arenas: each connection thread would otherwise get one of its
    // own (up to eight per processor), and what the uploads and maps leave in
    // them stays with the process. With two, and the trim once the sessions
    // are gone, three rounds of six clients on a 2048 x 2048 photo leave 9 MiB
    // instead of 186 (270 without either).
    ::mallopt(M_ARENA_MAX, static_cast<int>(std::max(2u, o.limits.work_slots)));

    // SIGINT and SIGTERM are taken by a thread of their own, so that the
    // server stops cleanly.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const Library library;
    ReliefServer server(o.limits, std::move(startup), loopback);
    const int port = server.bind(o.listen, o.port);
    if (port < 0) {
        std::cerr << "reliefkit serve: cannot listen on " << o.listen << " port " << o.port << "\n";
        return 1;
    }
    const std::string host =
        o.listen.find(':') != std::string::npos ? "[" + o.listen + "]" : o.listen;
    const std::string url = "http://" + (o.listen_given ? host : std::string("127.0.0.1")) + ":" +
                            std::to_string(port) + "/";
    std::cout << "reliefkit serve: " << url << " (Ctrl-C stops)" << std::endl;
    if (o.open) open_in_browser(url);

    // A signal ends every connection at once. Requests still at work then get
    // a moment to finish; past it (a map of a large photo in the making) the
    // process ends without waiting for them: the server has no file to remove.
    std::mutex finishing;
    std::condition_variable finished_signal;
    bool finished = false;
    std::thread stopper;
    try {
        stopper = std::thread([&] {
            int signal_number = 0;
            sigwait(&stop_signals, &signal_number);
            server.stop();
            std::unique_lock hold(finishing);
            if (!finished_signal.wait_for(hold, std::chrono::milliseconds(300),
                                          [&] { return finished; })) {
                std::_Exit(0);
            }
        });
    } catch (const std::system_error& e) {
        // The server works without it; a signal then ends it at once, with
        // the signal's status.
        std::cerr << "reliefkit serve: warning: cannot start the signal thread: "
                  << e.code().message() << ": Ctrl-C ends the server at once\n";
        pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
    }
    const bool ok = server.run();
    {
        std::lock_guard hold(finishing);
        finished = true;
    }
    finished_signal.notify_all();
    if (!stopper.joinable()) return ok ? 0 : 1;
    if (!ok) {
        // The listener failed by itself: wake the waiting thread.
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    return ok ? 0 : 1;
}

}  // namespace rkserve
