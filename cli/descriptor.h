#pragma once

#include <sys/types.h>

#include <string_view>

namespace rkcli {

// An open file descriptor owned by one scope: closed when it goes, unless
// closed first with close() to learn whether the close succeeded (some file
// systems report a full disk only then). Negative means none.
class Descriptor {
  public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Closes now; false if there was none or the system reported an error.
    bool close() noexcept;

  private:
    int fd_;
};

// Writes every byte, past short writes and interruptions; false on an error
// (errno says which).
bool write_all(int fd, std::string_view bytes) noexcept;

// The permissions open(path, ..., 0666) gives a new file: 0666 less the
// process's file mode mask, read from /proc, since umask() can only be read by
// setting it (which would give files other threads create meanwhile the wrong
// permissions). 0600 where the mask cannot be read.
mode_t new_file_mode() noexcept;

}  // namespace rkcli
