// The destination of a save, replaced only by a complete file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace rk {

// The temporary file is made with these permissions and given its final ones
// before a byte of the new content is in it.
inline constexpr mode_t kTemporaryFileMode = 0600;

// The permissions a saved file ends with: those of the regular file it
// replaces, else those a new file gets under the process's file mode mask.
mode_t saved_file_mode(const struct stat* replaced, mode_t mask) noexcept;

// The file is written as a temporary beside the target (made with O_EXCL, so it
// is always a new file of this save's own) and renamed over the target on
// commit: a failed save leaves an existing file as it was and nothing behind.
// Nothing at the target is ever opened for writing. A symbolic link there is
// replaced by the new file, its target left alone, so that a link planted in a
// folder others can write to cannot make the save overwrite another file. A
// directory, FIFO, device or socket there is refused at once (the sink is told
// which), as the readers refuse them.
class OutputFile {
  public:
    enum class CommitResult { committed, write_failed, replace_failed };

    // UTF-8 path. failed() tells whether the output could be opened.
    explicit OutputFile(const std::string& target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool failed() const noexcept { return fd_ < 0; }
    // Why the output could not be opened: the system's errno, or 0 for a node
    // that is not a regular file (or nothing known).
    int open_error() const noexcept { return open_error_; }
    // Why the file system refused the content (a write, the sync or the
    // close): the system's errno, or 0 when it gave none.
    int write_error() const noexcept { return write_error_; }
    // Why the complete file could not take the target's name (a name too long
    // for the file system, say): the system's errno, or 0.
    int replace_error() const noexcept { return replace_error_; }

    // Writes all count bytes; false when the file system refused any of them.
    bool write(const void* data, size_t count) noexcept;

    // Flushes the data to the device and puts the file in the target's place.
    CommitResult commit() noexcept;

  private:
    std::string target_;
    std::string temp_;  // empty once renamed
    int fd_ = -1;
    int open_error_ = 0;
    int write_error_ = 0;
    int replace_error_ = 0;
};

}  // namespace rk
