// Stands in for reliefkit-jxr-decode in jxr_sandbox_test: misbehaves as the last
// five bytes of its input ask; any other input gets no reply at all.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "load/jxr_reply_format.h"

int main(int argc, char** argv) {
    std::string input;
    char buf[4096];
    for (ssize_t n; (n = ::read(0, buf, sizeof buf)) > 0;)
        input.append(buf, static_cast<size_t>(n));
    const std::string mode = input.size() > 8 ? input.substr(input.size() - 5) : "";
    uint8_t header[rk::kJxrReplyHeaderBytes];
    (void)!::write(2, "fake helper's complaint\n", 24);  // must not reach the host's stderr
    if (mode == "crash") std::raise(SIGSEGV);
    if (mode == "hang_") ::pause();
    if (mode == "quiet") {  // the reply ends, the process does not (until the alarm)
        ::close(3);
        ::alarm(10);
        ::pause();
    }
    if (mode == "fork_" && ::fork() == 0) {  // a child that keeps the reply open
        ::sleep(2);
        return 0;
    }
    if (mode == "junk_" || mode == "fork_") return ::write(3, "nonsense", 8) == 8 ? 0 : 1;
    if (mode == "long_") {  // a decoded 20 x 18 reply with one byte too many
        rk::encode_jxr_reply_header({0, 20, 18, 20 * 18 * 3}, header);
        const std::string pixels(20 * 18 * 3 + 1, '\x7f');
        return ::write(3, header, sizeof header) > 0 &&
               ::write(3, pixels.data(), pixels.size()) > 0;
    }
    if (mode == "oom__" && argc == 5) {  // the limit the library asked for holds
        const rlim_t limit = std::strtoull(argv[3], nullptr, 10);
        const rlimit r{limit, limit};
        const bool held = limit > 0 && ::setrlimit(RLIMIT_AS, &r) == 0 && !std::malloc(limit);
        rk::encode_jxr_reply_header({held ? 5u : 6u, 0, 0, 0}, header);
        return ::write(3, header, sizeof header) == sizeof header ? 0 : 1;
    }
    return 1;
}
