// File and memory helpers shared by the readers and the PNG writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/byte_source.h"

namespace rk {

// An existing file opened read-only, closed by the destructor on every path.
// Paths are UTF-16 (a path with an unpaired surrogate cannot be opened) or
// UTF-8. Anything
// but a regular file (a FIFO, directory, device or socket) is refused at once,
// without blocking, and the sink is told why. (The PNG writer has its own output
// file: it writes a temporary beside the target and renames it.)
class FileHandle {
  public:
    explicit FileHandle(std::u16string_view path);
    // The same for a UTF-8 path, used as it is, except that a path that is no
    // regular file is not reported: the caller names it (not_regular()) in
    // its own failure, as rk_load_file does.
    explicit FileHandle(const std::string& utf8_path);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool failed() const noexcept { return fd_ < 0; }
    int fd() const noexcept { return fd_; }
    const std::u16string& path() const noexcept { return path_; }
    // Why the open failed: the system's error number, or 0 when the path named
    // something other than a regular file or was unusable.
    int open_error() const noexcept { return open_error_; }
    // What the path named when it was no regular file ("a directory", "a
    // FIFO", ...); null otherwise.
    const char* not_regular() const noexcept { return not_regular_; }

    // Size in bytes; nothing (UINT64_MAX) when it cannot be queried.
    uint64_t size() const noexcept;

  private:
    void open(const std::string& utf8, bool report);

    std::u16string path_;
    int fd_ = -1;
    int open_error_ = 0;
    const char* not_regular_ = nullptr;
};

// An open file as a byte source, read at offsets (pread).
class FileSource final : public ByteSource {
  public:
    explicit FileSource(const FileHandle& file) noexcept : file_(file) {}
    uint64_t size() const noexcept override { return file_.size(); }
    size_t read_at(uint64_t offset, void* dst, size_t count) noexcept override;
    bool read_failed() const noexcept override { return read_failed_; }

  private:
    const FileHandle& file_;
    bool read_failed_ = false;
};

// n zero bytes from the heap; throws std::bad_alloc, never returns null.
std::unique_ptr<uint8_t[]> zeroed_block(size_t n);

}  // namespace rk
