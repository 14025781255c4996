// The destination of a save, replaced only by a complete file.
#pragma once

#include <cstddef>
#include <string>

namespace rk {

// A regular target (or a missing one) is written as a temporary file beside it and
// renamed over it on commit: a failed save leaves an existing file as it was and
// nothing behind. A symbolic link is followed, so the file it names is replaced
// and the link stays. A target that exists but is no regular file (a device, a
// pipe) is written in place, as renaming over it would replace the node itself.
class OutputFile {
  public:
    enum class CommitResult { committed, write_failed, replace_failed };

    // UTF-8 path. failed() tells whether the output could be opened; a directory
    // or a file the caller may not write never can.
    explicit OutputFile(const std::string& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool failed() const noexcept { return fd_ < 0; }

    // Writes all count bytes; false when the file system refused any of them.
    bool write(const void* data, size_t count) noexcept;

    // Flushes the data to the device and puts the file in the target's place.
    CommitResult commit() noexcept;

  private:
    std::string target_;
    std::string temp_;  // empty when writing in place or once renamed
    int fd_ = -1;
};

}  // namespace rk
