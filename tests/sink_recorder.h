// A recorder of the library's diagnostics sink, shared by the test folders.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "reliefkit.h"

using Texts = std::vector<std::string>;

// Records every text the library sends to the sink while it is alive (its
// mutex makes it neither copyable nor movable, as the sink holds its address).
class SinkRecorder {
  public:
    SinkRecorder() { set_debug_output(&SinkRecorder::collect, this); }
    ~SinkRecorder() { set_debug_output(nullptr, nullptr); }
    Texts texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

  private:
    static void collect(const char* text, void* user) {
        auto* self = static_cast<SinkRecorder*>(user);
        std::lock_guard lock(self->mutex_);
        self->texts_.emplace_back(text);
    }
    std::mutex mutex_;
    Texts texts_;
};
