// The container check in front of jxrlib, on containers built around the
// codestream of the corpus's 9 x 7 BGR file: each case breaks one rule and must
// be refused for that reason; the intact container must also decode.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "load/jxr_container.h"
#include "load/readers.h"
#include "common/utf16.h"
#include "load_test_support.h"

namespace {

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
};

// Layout: header, the directory at 8, the pixel format at 512, the codestream at
// 528, then whatever a case appends (its offset is kTail).
constexpr uint32_t kGuidAt = 512;
constexpr uint32_t kImageAt = 528;
constexpr uint8_t kBgr24[16] = {0x24, 0xC3, 0xDD, 0x6F, 0x03, 0x4E, 0xFE, 0x4B,
                                0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x0C};

void put16(Bytes& b, size_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
uint32_t get16(const Bytes& b, size_t at) {
    return b.at(at) | b.at(at + 1) << 8;
}
uint32_t get32(const Bytes& b, size_t at) {
    return get16(b, at) | get16(b, at + 2) << 16;
}

// The codestream of the corpus file, found through its own directory.
const Bytes& codestream() {
    static const Bytes bytes = [] {
        const Bytes file = read_bytes(RK_TEST_DATA "/corpus/bgr.jxr");
        const uint32_t ifd = get32(file, 4);
        uint32_t offset = 0, count = 0;
        for (uint32_t e = 0; e < get16(file, ifd); ++e) {
            const size_t at = ifd + 2 + 12 * e;
            if (get16(file, at) == 0xBCC0) offset = get32(file, at + 8);
            if (get16(file, at) == 0xBCC1) count = get32(file, at + 8);
        }
        return Bytes(file.begin() + offset, file.begin() + offset + count);
    }();
    return bytes;
}

const uint32_t kTail = kImageAt + static_cast<uint32_t>(codestream().size());

struct Container {
    Bytes head = {'I', 'I', 0xBC, 0x01, 8, 0, 0, 0};
    std::vector<Entry> entries = {
        {0xBC01, 1, 16, kGuidAt}, {0xBC02, 4, 1, 0},
        {0xBC80, 4, 1, 9},        {0xBC81, 4, 1, 7},
        {0xBCC0, 4, 1, kImageAt}, {0xBCC1, 4, 1, static_cast<uint32_t>(codestream().size())},
    };
    Bytes tail;
    // Applied to the finished bytes, for what the fields above cannot say.
    std::function<void(Bytes&)> patch;

    Entry& find(uint16_t tag) {
        for (Entry& e : entries) {
            if (e.tag == tag) return e;
        }
        throw std::logic_error("no such entry");
    }

    Bytes bytes() const {
        Bytes b(kImageAt, 0);
        std::copy(head.begin(), head.end(), b.begin());
        put16(b, 8, static_cast<uint32_t>(entries.size()));
        for (size_t i = 0; i < entries.size(); ++i) {
            const size_t at = 10 + 12 * i;
            put16(b, at, entries[i].tag);
            put16(b, at + 2, entries[i].type);
            put32(b, at + 4, entries[i].count);
            put32(b, at + 8, entries[i].value);
        }
        std::copy(std::begin(kBgr24), std::end(kBgr24), b.begin() + kGuidAt);
        b.insert(b.end(), codestream().begin(), codestream().end());
        b.insert(b.end(), tail.begin(), tail.end());
        if (patch) patch(b);
        return b;
    }
};

// A sub-directory at kTail whose entries are appended to the tail.
void append_directory(Container& c, const std::vector<Entry>& entries) {
    const size_t at = c.tail.size();
    c.tail.resize(at + 2 + 12 * entries.size() + 4, 0);
    put16(c.tail, at, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        put16(c.tail, at + 2 + 12 * i, entries[i].tag);
        put16(c.tail, at + 4 + 12 * i, entries[i].type);
        put32(c.tail, at + 6 + 12 * i, entries[i].count);
        put32(c.tail, at + 10 + 12 * i, entries[i].value);
    }
}

rk::JxrFault check(const Bytes& b) {
    rk::MemorySource source(b);
    return rk::check_jxr_container(source).fault;
}

using rk::JxrFault;

struct Case {
    const char* name;
    std::function<void(Container&)> damage;
    JxrFault expected;
};

// One more entry in the first directory, with tail bytes it may point at.
std::function<void(Container&)> add(Entry e, Bytes tail = {}) {
    return [=](Container& c) {
        c.entries.push_back(e);
        c.tail = tail;
    };
}
std::function<void(Container&)> drop(uint16_t tag) {
    return [=](Container& c) { std::erase_if(c.entries, [&](const Entry& e) { return e.tag == tag; }); };
}

// The boundaries of each rule, and one case for every kind of fault.
const Case kCases[] = {
    {"intact", [](Container&) {}, JxrFault::none},
    {"version_2", [](Container& c) { c.head[3] = 2; }, JxrFault::header},
    {"directory_in_header", [](Container& c) { put32(c.head, 4, 4); }, JxrFault::header},
    {"no_entries", [](Container& c) { c.entries.clear(); }, JxrFault::directory},
    {"entries_past_end", [](Container& c) { c.patch = [](Bytes& b) { put16(b, 8, 0xFFFE); }; },
     JxrFault::directory},
    {"type_13", add({0x0100, 13, 1, 0}), JxrFault::entry},
    {"count_overflows_32_bits", add({0x0100, 4, 0x40000001, 0}), JxrFault::entry},
    {"data_past_end", add({0x0100, 1, 5, kTail}, Bytes(4)), JxrFault::entry},
    {"data_at_very_end_is_fine", add({0x0100, 1, 5, kTail}, Bytes(5)), JxrFault::none},
    {"transformation_8", [](Container& c) { c.find(0xBC02).value = 8; }, JxrFault::tag},
    {"transformation_7", [](Container& c) { c.find(0xBC02).value = 7; }, JxrFault::none},
    {"pixel_format_15_bytes", [](Container& c) { c.find(0xBC01).count = 15; }, JxrFault::tag},
    {"short_with_upper_half",
     [](Container& c) {
         c.find(0xBC80).type = 3;
         c.find(0xBC80).value = 0x10009;
     },
     JxrFault::tag},
    {"short_text", add({0x0131, 2, 3, 0x00006B72}), JxrFault::none},
    {"short_text_without_nul", add({0x0131, 2, 3, 0x00616B72}), JxrFault::tag},
    {"long_text_without_nul", add({0x8298, 2, 8, kTail}, {'r', 'e', 'l', 'i', 'e', 'f', 0, '!'}),
     JxrFault::tag},
    {"rating_two_shorts", add({0x4749, 3, 2, 4}), JxrFault::tag},
    {"page_number_one_short", add({0x0129, 3, 1, 1}), JxrFault::tag},
    {"long_caption_utf16", add({0x9C9B, 7, 6, kTail}, {'r', 0, 'k', 0, 0, 0}), JxrFault::none},
    {"caption_without_terminator", add({0x9C9B, 1, 4, 0x00410041}), JxrFault::tag},
    {"caption_odd_length", add({0x9C9B, 1, 3, 0}), JxrFault::tag},
    {"other_pixel_format", [](Container& c) { c.find(0xBC01).value = kGuidAt - 1; },
     JxrFault::pixel_format},
    {"no_pixel_format", drop(0xBC01), JxrFault::pixel_format},
    {"no_image_offset", drop(0xBCC0), JxrFault::image_data},
    {"image_past_end", [](Container& c) { c.find(0xBCC1).value += 1; }, JxrFault::image_data},
    {"image_not_a_codestream", [](Container& c) { c.find(0xBCC0).value = kGuidAt - 8; },
     JxrFault::codestream},
    {"height_0", [](Container& c) { c.find(0xBC81).value = 0; }, JxrFault::image_size},
    {"alpha_offset_alone", add({0xBCC2, 4, 1, kImageAt}), JxrFault::alpha_data},
    {"exif_directory",
     [](Container& c) {
         // EXIF directory at kTail (30 bytes), its interoperability directory
         // after it (18 bytes), then the exposure time it points at.
         append_directory(c, {{0x829A, 5, 1, kTail + 48}, {0xA005, 4, 1, kTail + 30}});
         append_directory(c, {{0x0001, 2, 4, 0x00383952}});
         c.tail.resize(56, 1);
         c.entries.push_back({0x8769, 4, 1, kTail});
     },
     JxrFault::none},
    {"exif_directory_pointing_at_itself",
     [](Container& c) {
         append_directory(c, {{0x8769, 4, 1, kTail}});
         c.entries.push_back({0x8769, 4, 1, kTail});
     },
     JxrFault::directory},
    {"directories_three_deep",
     [](Container& c) {
         append_directory(c, {{0xA005, 4, 1, kTail + 18}});
         append_directory(c, {{0x8825, 4, 1, kTail + 36}});
         append_directory(c, {{0x0001, 2, 4, 0x00383952}});
         c.entries.push_back({0x8769, 4, 1, kTail});
     },
     JxrFault::directory},
    {"gps_pointer_as_short",
     [](Container& c) {
         append_directory(c, {{0x0000, 1, 4, 0x00000202}});
         c.entries.push_back({0x8825, 3, 1, kTail});
     },
     JxrFault::tag},
};

class JxrContainer : public ::testing::TestWithParam<Case> {};

TEST_P(JxrContainer, RefusedForTheBrokenRule) {
    Container c;
    GetParam().damage(c);
    EXPECT_EQ(check(c.bytes()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, JxrContainer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every kind of metadata jxrlib copies out of the container: short text in the
// entry, longer text and byte arrays in the tail, and shorts. Run under the leak
// checkers this also proves that all of it is freed.
TEST(JxrContainerFile, AcceptedContainerDecodes) {
    Container c;
    c.tail = {'r', 'e', 'l', 'i', 'e', 'f', 'k', 'i', 't', 0};
    for (uint16_t tag :
         {0x010D, 0x010E, 0x010F, 0x0110, 0x011D, 0x0131, 0x0132, 0x013B, 0x013C, 0x8298}) {
        c.entries.push_back({tag, 2, tag % 2 ? 3u : 10u, tag % 2 ? 0x00006B72 : kTail});
    }
    c.entries.push_back({0x9C9B, 1, 4, 0x00000041});
    c.entries.push_back({0x0129, 3, 2, 0x00020001});
    c.entries.push_back({0x4746, 3, 1, 4});
    c.entries.push_back({0x4749, 3, 1, 99});
    const std::string path = write_temp("rebuilt.jxr", c.bytes());
    const rk::ImgbufPtr image = rk::load_jxr(rk::utf8_to_utf16(path));
    ASSERT_TRUE(image);
    EXPECT_EQ(imgbuf_w(image.get()), 9u);
    EXPECT_EQ(imgbuf_h(image.get()), 7u);
}

TEST(JxrContainerFile, StatesTheSizeOfItsEntries) {
    Container c;
    c.find(0xBC80).type = 3;
    const Bytes b = c.bytes();
    rk::MemorySource source(b);
    const rk::JxrContainer got = rk::check_jxr_container(source);
    EXPECT_EQ(got.fault, JxrFault::none);
    EXPECT_EQ(got.width, 9u);
    EXPECT_EQ(got.height, 7u);
}

struct SizeCase {
    uint32_t width, height;
    bool agrees;
};

class JxrSizeAgrees : public ::testing::TestWithParam<SizeCase> {};

TEST_P(JxrSizeAgrees, ComparesTheCodestreamSizeWithTheEntries) {
    const rk::JxrContainer container{JxrFault::none, 9, 7};
    EXPECT_EQ(rk::jxr_size_agrees(container, GetParam().width, GetParam().height),
              GetParam().agrees);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JxrSizeAgrees,
                         ::testing::Values(SizeCase{9, 7, true}, SizeCase{7, 9, false},
                                           SizeCase{65536, 7, false}, SizeCase{9, 1, false}));

TEST(JxrSizeAgrees, RefusedContainerAgreesWithNothing) {
    const rk::JxrContainer refused{JxrFault::tag, 9, 7};
    EXPECT_FALSE(rk::jxr_size_agrees(refused, 9, 7));
}

TEST(JxrContainerFile, EveryPrefixOfAValidFileIsRefused) {
    const Bytes full = read_bytes(RK_TEST_DATA "/corpus/bgr.jxr");
    for (size_t n = 0; n < full.size(); ++n) {
        const Bytes cut(full.begin(), full.begin() + static_cast<long>(n));
        EXPECT_NE(check(cut), JxrFault::none) << n;
    }
    EXPECT_EQ(check(full), JxrFault::none);
}

}  // namespace
