#include "load/le_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using rk::LeReader;

TEST(LeReader, ReadsLittleEndianFieldsAtOffsets) {
    const std::vector<uint8_t> b = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    LeReader r(b);
    EXPECT_EQ(r.u8(7), 0x08);
    EXPECT_EQ(r.u16(1), 0x0302);
    EXPECT_EQ(r.u32(4), 0x08070605u);
    EXPECT_EQ(r.bytes(6, 2).size(), 2u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(rk::load_le48(b.data()), 0x060504030201u);
    EXPECT_EQ(rk::load_le64(b.data()), 0x0807060504030201u);
    EXPECT_EQ(rk::load_le24(b.data() + 5), 0x080706u);
}

TEST(LeReader, FieldsPastTheEndReadZeroAndStickAsFailure) {
    const std::vector<uint8_t> b = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    uint32_t (*const reads[])(LeReader&) = {
        [](LeReader& r) -> uint32_t { return r.u32(2); },  // straddles the end
        [](LeReader& r) -> uint32_t { return r.u16(4); },
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
    LeReader empty(std::span<const uint8_t>{});
    EXPECT_EQ(empty.u8(0), 0);
    EXPECT_FALSE(empty.ok());
}
