// Where an encoder's bytes go: a file being written (replaced only when
// complete) or a caller's write callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "reliefkit.h"
#include "save/output_file.h"

namespace rk {

class ByteSink {
  public:
    // Takes all count bytes; false when they could not be written, and then
    // nothing more is.
    virtual bool write(const void* data, size_t count) noexcept = 0;

  protected:
    ~ByteSink() = default;
};

class OutputFileSink final : public ByteSink {
  public:
    explicit OutputFileSink(OutputFile& file) noexcept : file_(file) {}
    bool write(const void* data, size_t count) noexcept override {
        return file_.write(data, count);
    }

  private:
    OutputFile& file_;
};

// Gathers the bytes into blocks so that the callback sees a few large writes
// rather than every chunk header. A non-zero answer of the callback ends the
// output: no byte is handed to it after that.
class CallbackSink final : public ByteSink {
  public:
    CallbackSink(rk_write_fn write, void* user) noexcept : write_(write), user_(user) {}
    bool write(const void* data, size_t count) noexcept override;
    // Hands over what is still gathered; false when the output has ended.
    bool finish() noexcept;
    bool aborted() const noexcept { return aborted_; }

  private:
    bool deliver(const void* data, size_t count) noexcept;

    static constexpr size_t kBlockBytes = size_t{1} << 16;
    rk_write_fn write_;
    void* user_;
    std::unique_ptr<uint8_t[]> block_;
    size_t held_ = 0;
    bool aborted_ = false;
};

}  // namespace rk
