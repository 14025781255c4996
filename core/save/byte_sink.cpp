#include "save/byte_sink.h"

#include <cstring>
#include <new>

namespace rk {

bool CallbackSink::deliver(const void* data, size_t count) noexcept {
    if (aborted_) return false;
    if (count == 0) return true;
    aborted_ = write_(user_, data, count) != 0;
    return !aborted_;
}

bool CallbackSink::write(const void* data, size_t count) noexcept {
    if (aborted_) return false;
    if (!block_) {
        block_.reset(new (std::nothrow) uint8_t[kBlockBytes]);
        if (!block_) return deliver(data, count);  // no block: every write goes straight out
    }
    if (held_ + count > kBlockBytes) {
        if (!deliver(block_.get(), held_)) return false;
        held_ = 0;
        if (count > kBlockBytes) return deliver(data, count);
    }
    std::memcpy(block_.get() + held_, data, count);
    held_ += count;
    return true;
}

bool CallbackSink::finish() noexcept {
    const bool delivered = deliver(block_.get(), held_);
    held_ = 0;
    return delivered;
}

}  // namespace rk
