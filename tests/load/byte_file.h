// Building binary test files in memory, handing them to a reader by path and
// checking the pixels it produced.
#pragma once

#include <stdlib.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image_helpers.h"
#include "temp_dir.h"
#include "imgbuf/imgbuf.h"
#include "common/utf16.h"

using Bytes = std::vector<uint8_t>;

inline void put8(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
}
inline void put16(Bytes& b, uint32_t v) {
    put8(b, v);
    put8(b, v >> 8);
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v);
    put16(b, v >> 16);
}
inline void putf(Bytes& b, float f) {
    put32(b, std::bit_cast<uint32_t>(f));
}
inline void append(Bytes& b, const Bytes& more) {
    b.insert(b.end(), more.begin(), more.end());
}

inline std::string temp_dir() {
    return process_temp_dir().str();
}

// Writes bytes to a file named after name, whose slashes (from parameterised test
// names) become underscores.
inline std::u16string write_file(std::string name, const Bytes& bytes) {
    for (char& c : name) c = (c == '/') ? '_' : c;
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return rk::utf8_to_utf16(path);
}

inline std::u16string missing_file() {
    return rk::utf8_to_utf16(temp_dir() + "/does-not-exist");
}

// The sample divided by its maximum in single precision, as every reader converts.
inline float unorm(uint32_t v, uint32_t max) {
    return static_cast<float>(v) / static_cast<float>(max);
}

inline std::string text(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

// Bit-exact: equal NaN patterns match, and 0 and -0 differ.
inline void expect_px(const imgbuf* img, uint32_t x, uint32_t y, Px want) {
    const Px got = get_px(img, x, y);
    for (int c = 0; c < 4; ++c) {
        EXPECT_TRUE(same_bits(got[c], want[c]))
            << "pixel " << x << "," << y << " channel " << c << ": " << got[c] << " != " << want[c];
    }
}

// Runs reader on bytes saved under the current test's name.
template <class Reader>
std::pair<rk::ImgbufPtr, std::u16string> load_with(Reader reader, const Bytes& file) {
    std::u16string message;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    rk::ImgbufPtr img = reader(write_file(test->name(), file), message);
    return {std::move(img), std::move(message)};
}
