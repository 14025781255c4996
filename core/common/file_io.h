// File and memory helpers shared by the readers and the PNG writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace rk {

// An existing file opened read-only, closed by the destructor on every path.
// Paths are UTF-16; a path with an unpaired surrogate cannot be opened. Anything
// but a regular file (a FIFO, directory, device or socket) is refused at once,
// without blocking, and the sink is told why. (The PNG writer has its own output
// file: it writes a temporary beside the target and renames it.)
class FileHandle {
  public:
    explicit FileHandle(std::u16string_view path);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool failed() const noexcept { return fd_ < 0; }
    int fd() const noexcept { return fd_; }
    const std::u16string& path() const noexcept { return path_; }

    // Size in bytes; nothing (UINT64_MAX) when it cannot be queried.
    uint64_t size() const noexcept;
    // Moves to an absolute position; false on failure.
    bool seek(uint64_t pos) noexcept;

  private:
    std::u16string path_;
    int fd_ = -1;
};

// True when exactly count bytes were read into buffer.
bool file_read_exact(FileHandle& file, void* buffer, uint32_t count) noexcept;

// Reads up to count bytes, stopping early only at the end of the file or on a
// read error; returns the number read (0 for an invalid file).
uint32_t file_read_some(FileHandle& file, void* buffer, uint32_t count) noexcept;

// n zero bytes from the heap; throws std::bad_alloc, never returns null.
std::unique_ptr<uint8_t[]> zeroed_block(size_t n);

}  // namespace rk
