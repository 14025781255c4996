#include "descriptor.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace rkcli {

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

bool Descriptor::close() noexcept {
    const int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor even when close reports an error, so it
    // is never closed twice.
    return fd >= 0 && ::close(fd) == 0;
}

bool write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

mode_t new_file_mode() noexcept {
    constexpr mode_t kOwnersAlone = 0600;
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) return kOwnersAlone;
    mode_t mode = kOwnersAlone;
    char line[256];
    unsigned mask = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "Umask: %o", &mask) == 1) {
            mode = 0666 & ~static_cast<mode_t>(mask);
            break;
        }
    }
    std::fclose(status);
    return mode;
}

}  // namespace rkcli
