#include "load/le_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using rk::LeReader;

// The fields themselves are read in every DDS, TGA and JPEG XR header test, the
// unchecked 48- and 64-bit loads in the DXT3 and DXT5 block tests.
TEST(LeReader, FieldsPastTheEndReadZeroAndStickAsFailure) {
    const std::vector<uint8_t> b = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    uint32_t (*const reads[])(LeReader&) = {
        [](LeReader& r) -> uint32_t { return r.u32(2); },  // straddles the end
        [](LeReader& r) -> uint32_t { return r.u8(5); },
        [](LeReader& r) -> uint32_t { return r.u32(SIZE_MAX - 1); },  // offset + 4 would wrap
        [](LeReader& r) -> uint32_t { return static_cast<uint32_t>(r.bytes(1, SIZE_MAX).size()); },
    };
    for (auto read : reads) {
        LeReader r(b);
        EXPECT_EQ(read(r), 0u);
        EXPECT_EQ(r.u8(0), 0xAA);  // later good reads still work
        EXPECT_FALSE(r.ok());      // but the failure is remembered
    }
}
