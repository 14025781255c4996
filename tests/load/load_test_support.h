// Temporary files and a diagnostics sink recorder for the loader tests.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "reliefkit.h"
#include "temp_dir.h"

using Bytes = std::vector<uint8_t>;

inline std::string load_temp_dir() {
    return process_temp_dir().str();
}

inline std::string write_temp(const std::string& name, const Bytes& bytes) {
    const std::string path = load_temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

inline Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ASCII paths only, which is all the temporary directory needs.
inline std::u16string widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// Records every text the library sends to the sink while it is alive.
class SinkRecorder {
  public:
    SinkRecorder() { set_debug_output(&SinkRecorder::collect, this); }
    ~SinkRecorder() { set_debug_output(nullptr, nullptr); }
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;

    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        texts_.clear();
    }

  private:
    static void collect(const char* text, void* user) {
        auto* self = static_cast<SinkRecorder*>(user);
        std::lock_guard lock(self->mutex_);
        self->texts_.emplace_back(text);
    }
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

using Texts = std::vector<std::string>;
