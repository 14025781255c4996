// The container check in front of jxrlib, on containers built around the
// codestream of the corpus's 9 x 7 BGR file: each case breaks one rule and must
// be refused for that reason; the intact container must also decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string_view>

#include "load/jxr_container.h"
#include "load/readers.h"
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

// A directory: its entry count, the entries, and no next directory.
Bytes directory(const std::vector<Entry>& entries, size_t count) {
    Bytes b;
    put_le(b, static_cast<uint32_t>(count), 2);
    for (const Entry& e : entries) {
        put_le(b, e.tag, 2);
        put_le(b, e.type, 2);
        put_le(b, e.count, 4);
        put_le(b, e.value, 4);
    }
    put_le(b, 0, 4);
    return b;
}

// The codestream of the corpus file, which runs from its signature to the end.
const Bytes& codestream() {
    static const Bytes bytes = [] {
        const Bytes file = read_bytes(RK_TEST_DATA "/corpus/bgr.jxr");
        const std::string_view signature = "WMPHOTO";
        return Bytes(std::search(file.begin(), file.end(), signature.begin(), signature.end()),
                     file.end());
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
    uint32_t entry_count = 0;  // written instead of the true count when not 0

    Entry& find(uint16_t tag) {
        for (Entry& e : entries)
            if (e.tag == tag) return e;
        throw std::logic_error("no such entry");
    }

    Bytes bytes() const {
        Bytes b = head;
        append(b, directory(entries, entry_count ? entry_count : entries.size()));
        b.resize(kGuidAt, 0);
        append(b, Bytes(std::begin(kBgr24), std::end(kBgr24)));
        append(b, codestream());
        append(b, tail);
        return b;
    }
};

rk::JxrContainer check(const Bytes& b) {
    rk::MemorySource source(b);
    return rk::check_jxr_container(source);
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
// Sub-directories one after the other from kTail (6 + 12 bytes per entry each).
Bytes dirs(std::initializer_list<std::vector<Entry>> list, size_t size = 0) {
    Bytes b;
    for (const auto& d : list) append(b, directory(d, d.size()));
    if (size) b.resize(size, 1);
    return b;
}

// The boundaries of each rule, and one case for every kind of fault; the
// committed crashers hold more refused entries and a directory loop.
// clang-format off
const Case kCases[] = {
    {"intact", [](Container&) {}, JxrFault::none},
    {"entries_past_end", [](Container& c) { c.entry_count = 0xFFFE; }, JxrFault::directory},
    {"type_13", add({0x0100, 13, 1, 0}), JxrFault::entry},
    {"count_overflows_32_bits", add({0x0100, 4, 0x40000001, 0}), JxrFault::entry},
    {"data_past_end", add({0x0100, 1, 5, kTail}, Bytes(4)), JxrFault::entry},
    {"transformation_8", [](Container& c) { c.find(0xBC02).value = 8; }, JxrFault::tag},
    {"short_with_upper_half", [](Container& c) { c.find(0xBC80) = {0xBC80, 3, 1, 0x10009}; }, JxrFault::tag},
    {"long_text_without_nul", add({0x8298, 2, 8, kTail}, {'r', 'e', 'l', 'i', 'e', 'f', 0, '!'}), JxrFault::tag},
    {"page_number_one_short", add({0x0129, 3, 1, 1}), JxrFault::tag},
    {"long_caption_utf16", add({0x9C9B, 7, 6, kTail}, {'r', 0, 'k', 0, 0, 0}), JxrFault::none},
    {"caption_odd_length", add({0x9C9B, 1, 3, 0}), JxrFault::tag},
    {"other_pixel_format", [](Container& c) { c.find(0xBC01).value = kGuidAt - 1; }, JxrFault::pixel_format},
    {"no_pixel_format", [](Container& c) { c.entries.erase(c.entries.begin()); }, JxrFault::pixel_format},
    {"no_image_offset", [](Container& c) { c.entries.erase(c.entries.begin() + 4); }, JxrFault::image_data},
    {"image_past_end", [](Container& c) { c.find(0xBCC1).value += 1; }, JxrFault::image_data},
    {"image_not_a_codestream", [](Container& c) { c.find(0xBCC0).value = kGuidAt - 8; }, JxrFault::codestream},
    {"height_0", [](Container& c) { c.find(0xBC81).value = 0; }, JxrFault::image_size},
    {"alpha_offset_alone", add({0xBCC2, 4, 1, kImageAt}), JxrFault::alpha_data},
    // EXIF directory (30 bytes), its interoperability directory (18 bytes), then
    // the exposure time it points at.
    {"exif_directory", add({0x8769, 4, 1, kTail}, dirs({{{0x829A, 5, 1, kTail + 48}, {0xA005, 4, 1, kTail + 30}}, {{0x0001, 2, 4, 0x00383952}}}, 56)), JxrFault::none},
    {"directories_three_deep", add({0x8769, 4, 1, kTail}, dirs({{{0xA005, 4, 1, kTail + 18}}, {{0x8825, 4, 1, kTail + 36}}, {{0x0001, 2, 4, 0x00383952}}})), JxrFault::directory},
    {"gps_pointer_as_short", add({0x8825, 3, 1, kTail}, dirs({{{0x0000, 1, 4, 0x00000202}}})), JxrFault::tag},
};
// clang-format on

class JxrContainer : public ::testing::TestWithParam<Case> {};

TEST_P(JxrContainer, RefusedForTheBrokenRule) {
    Container c;
    GetParam().damage(c);
    EXPECT_EQ(check(c.bytes()).fault, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, JxrContainer, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every kind of metadata jxrlib copies out of the container: short text in the
// entry, longer text (ending at the file's last byte) and byte arrays in the
// tail, and shorts, also for the width. Run under the leak checkers this also
// proves that all of it is freed.
TEST(JxrContainerFile, AcceptedContainerDecodes) {
    if (!RK_JXR_BUILT) GTEST_SKIP() << "JPEG XR decoding is not built in";
    Container c;
    c.find(0xBC80).type = 3;
    c.tail = {'r', 'e', 'l', 'i', 'e', 'f', 'k', 'i', 't', 0};
    for (uint16_t tag : {0x010D, 0x010E, 0x010F, 0x0110, 0x011D, 0x0131, 0x0132, 0x013B, 0x013C, 0x8298})
        c.entries.push_back({tag, 2, tag % 2 ? 3u : 10u, tag % 2 ? 0x00006B72 : kTail});
    for (Entry e : {Entry{0x9C9B, 1, 4, 0x41}, {0x0129, 3, 2, 0x00020001}, {0x4746, 3, 1, 4}, {0x4749, 3, 1, 99}})
        c.entries.push_back(e);
    const rk::ImgbufPtr image = rk::load_jxr(widen(write_temp("rebuilt.jxr", c.bytes())));
    ASSERT_TRUE(image);
    EXPECT_EQ(imgbuf_w(image.get()), 9u);
    EXPECT_EQ(imgbuf_h(image.get()), 7u);
}

TEST(JxrContainerFile, EveryPrefixOfAValidFileIsRefused) {
    const Bytes full = read_bytes(RK_TEST_DATA "/corpus/bgr.jxr");
    for (size_t n = 0; n < full.size(); ++n)
        EXPECT_NE(check(Bytes(full.begin(), full.begin() + static_cast<long>(n))).fault, JxrFault::none) << n;
}

}  // namespace
