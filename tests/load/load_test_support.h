// Temporary files, byte building, exact pixel checks and a diagnostics sink
// recorder for the loader tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "reliefkit.h"
#include "temp_dir.h"

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

inline std::string load_temp_dir() {
    return process_temp_dir().str();
}

inline std::string write_temp(const std::string& name, const Bytes& bytes) {
    const std::string path = load_temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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

// Appends v as size little-endian bytes.
inline void put_le(Bytes& b, uint32_t v, int size) {
    for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

// The sample divided by its maximum in single precision, as every reader converts.
inline float unorm(uint32_t v, uint32_t max) {
    return static_cast<float>(v) / static_cast<float>(max);
}

// Bit-exact: equal NaN patterns match, and 0 and -0 differ.
inline void expect_px(const imgbuf* img, uint32_t x, uint32_t y, Px want) {
    const Px got = get_px(img, x, y);
    for (int c = 0; c < 4; ++c)
        EXPECT_TRUE(same_bits(got[c], want[c])) << x << "," << y << " channel " << c << ": " << got[c];
}

inline std::string text(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

// Runs reader(path, message) on bytes saved under the current test's name,
// whose slashes (from parameterised tests) become underscores.
template <class Reader>
auto load_with(Reader reader, const Bytes& file) {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) c = (c == '/') ? '_' : c;
    std::u16string message;
    auto img = reader(widen(write_temp(name, file)), message);
    return std::pair{std::move(img), message};
}

// Records every text the library sends to the sink while it is alive.
class SinkRecorder {
  public:
    SinkRecorder() { set_debug_output(&SinkRecorder::collect, this); }
    ~SinkRecorder() { set_debug_output(nullptr, nullptr); }
    SinkRecorder(const SinkRecorder&) = delete;
    SinkRecorder& operator=(const SinkRecorder&) = delete;
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
