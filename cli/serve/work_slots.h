// A counted number of places for map making; a request waits a while for one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace rkserve {

class WorkSlots {
  public:
    explicit WorkSlots(unsigned count) : free_(count) {}

    bool acquire(std::chrono::seconds wait) {
        std::unique_lock hold(mutex_);
        ++waiting_;
        const bool got = freed_.wait_for(hold, wait, [&] { return free_ > 0; });
        --waiting_;
        if (!got) return false;
        --free_;
        return true;
    }
    void release() {
        {
            std::lock_guard hold(mutex_);
            ++free_;
        }
        freed_.notify_one();
    }

    // Requests waiting in acquire() now.
    unsigned waiting() {
        std::lock_guard hold(mutex_);
        return waiting_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned free_;
    unsigned waiting_ = 0;
};

// Holds a slot until the end of its scope.
class SlotHold {
  public:
    explicit SlotHold(WorkSlots& slots) : slots_(slots) {}
    ~SlotHold() { slots_.release(); }
    SlotHold(const SlotHold&) = delete;
    SlotHold& operator=(const SlotHold&) = delete;

  private:
    WorkSlots& slots_;
};

}  // namespace rkserve
