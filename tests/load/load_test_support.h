// Temporary files, byte building, exact pixel checks and a diagnostics sink
// recorder for the loader tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "reliefkit.h"
#include "sink_recorder.h"
#include "temp_dir.h"

using Bytes = std::vector<uint8_t>;

// Saves bytes in the process's temporary folder; returns the path.
inline std::string write_temp(const std::string& name, const Bytes& bytes) {
    return process_temp_dir().write(name, bytes).string();
}

inline std::string temp_path(const std::string& name) {
    return (process_temp_dir() / name).string();
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

// Runs reader(path, out) on bytes saved under the current test's name and
// returns the image with out: the message, or the not-my-format verdict.
template <class Out = std::u16string, class Reader>
auto load_with(Reader reader, const Bytes& file) {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Out out{};
    auto img = reader(widen(write_temp(name, file)), out);
    return std::pair{std::move(img), out};
}

// A file that a reader loads at w x h (message null: its last pixel is white)
// or refuses with the message; no file stands for a missing one.
struct FileCase {
    const char* name;
    std::optional<Bytes> file;
    const char16_t* message;
    uint32_t w = 0, h = 0;
    friend void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }
};

template <class Reader>
void expect_loads_or_refuses(Reader reader, const FileCase& c) {
    std::u16string message;
    const std::string path = c.file ? write_temp(c.name, *c.file) : temp_path("missing");
    const auto img = reader(widen(path), message);
    if (c.message) {
        EXPECT_FALSE(img);
        EXPECT_EQ(message, c.message);
        return;
    }
    ASSERT_TRUE(img) << text(message);
    EXPECT_EQ(imgbuf_w(img.get()), c.w);
    EXPECT_EQ(imgbuf_h(img.get()), c.h);
    if (c.w && c.h) expect_px(img.get(), c.w - 1, c.h - 1, {1, 1, 1, 1});
}

