// The bytes a reader decodes, wherever they are: a file or a caller's memory.
// Every reader reads through a cursor of its own over one source, so the
// readers that load_image tries one after another each start at the beginning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace rk {

// Random access to bytes.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Size in bytes; UINT64_MAX when it cannot be told.
    virtual uint64_t size() const noexcept = 0;
    // Reads up to count bytes at offset into dst and returns how many it read:
    // fewer only at the end of the data or when the system refused a read.
    virtual size_t read_at(uint64_t offset, void* dst, size_t count) noexcept = 0;
    // The whole content when it already lies in memory; empty otherwise.
    virtual std::span<const uint8_t> in_memory() const noexcept { return {}; }
    // Whether the system refused a read (not just the end of the data).
    virtual bool read_failed() const noexcept { return false; }

    // Fills dst with the bytes at offset; false when they are not all there.
    bool read(uint64_t offset, std::span<uint8_t> dst) noexcept {
        return read_at(offset, dst.data(), dst.size()) == dst.size();
    }
};

class MemorySource final : public ByteSource {
  public:
    explicit MemorySource(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}
    uint64_t size() const noexcept override { return bytes_.size(); }
    size_t read_at(uint64_t offset, void* dst, size_t count) noexcept override {
        if (offset >= bytes_.size()) return 0;
        const size_t n = count < bytes_.size() - offset ? count : bytes_.size() - offset;
        if (n) std::memcpy(dst, bytes_.data() + offset, n);
        return n;
    }
    std::span<const uint8_t> in_memory() const noexcept override { return bytes_; }

  private:
    std::span<const uint8_t> bytes_;
};

// A reading position in a source, as a file descriptor has one.
class ByteCursor {
  public:
    explicit ByteCursor(ByteSource& source) noexcept : source_(source) {}

    ByteSource& source() const noexcept { return source_; }
    uint64_t size() const noexcept { return source_.size(); }
    // Moves to an absolute position (past the end is allowed, as lseek allows
    // it); false only for a position no file could have.
    bool seek(uint64_t pos) noexcept {
        if (pos > static_cast<uint64_t>(INT64_MAX)) return false;
        pos_ = pos;
        return true;
    }
    // Reads up to count bytes, fewer only at the end or on a read error.
    uint32_t read_some(void* dst, uint32_t count) noexcept {
        const size_t n = source_.read_at(pos_, dst, count);
        pos_ += n;
        return static_cast<uint32_t>(n);
    }
    // True when exactly count bytes were read.
    bool read_exact(void* dst, uint32_t count) noexcept { return read_some(dst, count) == count; }

  private:
    ByteSource& source_;
    uint64_t pos_ = 0;
};

}  // namespace rk
