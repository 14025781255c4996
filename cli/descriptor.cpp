#include "descriptor.h"

#include <unistd.h>

#include <cerrno>

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

}  // namespace rkcli
