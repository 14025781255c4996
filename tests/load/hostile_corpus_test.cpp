// Every small valid file of the corpus, damaged in the ways hostile files are:
// truncated, with absurd width and height fields, and with one format's magic in
// front of another's body. A load must end in null or an image of the size the
// header states, and never read or write outside a buffer (run under ASan).
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "image_helpers.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

void put_be32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put_be16(Bytes& b, size_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v >> 8);
    b.at(at + 1) = static_cast<uint8_t>(v);
}
void put_le16(Bytes& b, size_t at, uint32_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void put_le32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t le16(const Bytes& b, size_t at) {
    return b.at(at) | b.at(at + 1) << 8;
}
uint32_t le32(const Bytes& b, size_t at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}

enum class Format { Png, Jpeg, Jxr, Dds, Tga };

Format format_of(const fs::path& p) {
    const std::string ext = p.extension().string();
    if (ext == ".png") return Format::Png;
    if (ext == ".jpg") return Format::Jpeg;
    if (ext == ".jxr") return Format::Jxr;
    if (ext == ".dds") return Format::Dds;
    return Format::Tga;
}

// Writes width and/or height into the format's header fields (narrower fields
// keep the low bits, as a hand-edited file would). Returns the size the damaged
// header now states, in the field widths of the format.
struct Size {
    uint32_t w, h;
};

Size set_size(Format f, Bytes& b, const uint32_t* w, const uint32_t* h) {
    constexpr Size kCorpus = {9, 7};
    const auto pick = [](const uint32_t* v, uint32_t keep, uint32_t mask) {
        return v ? *v & mask : keep;
    };
    switch (f) {
        case Format::Png:  // IHDR data at 16; its CRC is fixed so that libpng reads on
            if (w) put_be32(b, 16, *w);
            if (h) put_be32(b, 20, *h);
            put_be32(b, 29, crc32(&b[12], 17));
            return {pick(w, kCorpus.w, ~0u), pick(h, kCorpus.h, ~0u)};
        case Format::Jpeg:
            for (size_t i = 2; i + 9 < b.size(); ++i) {
                if (b[i] == 0xFF && (b[i + 1] == 0xC0 || b[i + 1] == 0xC1 || b[i + 1] == 0xC2)) {
                    if (h) put_be16(b, i + 5, *h);
                    if (w) put_be16(b, i + 7, *w);
                    break;
                }
            }
            return {pick(w, kCorpus.w, 0xFFFF), pick(h, kCorpus.h, 0xFFFF)};
        case Format::Jxr: {
            // A JPEG XR file states its size twice: in the container's entries and
            // in the codestream header (short header: width - 1 and height - 1 as
            // 16-bit big-endian numbers 12 bytes in), which jxrlib decodes by. One
            // edited alone makes the two disagree. (Both edited alike make a sound
            // header over tile data of another size, which jxrlib's decoder cannot
            // survive; no check before the decode can tell that file from a good one.)
            const uint32_t ifd = le32(b, 4);
            const uint32_t count = le16(b, ifd);
            const bool in_container = w && h;
            uint32_t image = 0;
            for (uint32_t e = 0; e < count; ++e) {
                const size_t at = ifd + 2 + 12 * e;
                const uint32_t tag = le16(b, at), type = le16(b, at + 2);
                if (tag == 0xBCC0) image = le32(b, at + 8);
                const uint32_t* v = tag == 0xBC80 ? w : tag == 0xBC81 ? h : nullptr;
                if (!v || !in_container) continue;
                if (type == 3)
                    put_le16(b, at + 8, *v);
                else
                    put_le32(b, at + 8, *v);
            }
            if (in_container) return {*w, *h};
            if (w) put_be16(b, image + 12, *w - 1);
            if (h) put_be16(b, image + 14, *h - 1);
            const auto stated = [](const uint32_t* v, uint32_t keep) {
                return v ? ((*v - 1) & 0xFFFF) + 1 : keep;
            };
            return {stated(w, kCorpus.w), stated(h, kCorpus.h)};
        }
        case Format::Dds:
            if (h) put_le32(b, 12, *h);
            if (w) put_le32(b, 16, *w);
            return {pick(w, kCorpus.w, ~0u), pick(h, kCorpus.h, ~0u)};
        case Format::Tga:
            if (w) put_le16(b, 12, *w);
            if (h) put_le16(b, 14, *h);
            return {pick(w, kCorpus.w, 0xFFFF), pick(h, kCorpus.h, 0xFFFF)};
    }
    return kCorpus;
}

std::array<size_t, 5> magic_len = {8, 3, 4, 4, 3};

class HostileCorpus : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& e : fs::directory_iterator(RK_TEST_DATA "/corpus"))
            files_.push_back(e.path());
        std::sort(files_.begin(), files_.end());
        ASSERT_GE(files_.size(), 10u);
        char tmpl[] = "/tmp/rk_hostile_XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Loads bytes under a name with ext; an image that comes back must have the
    // wanted size (when one is given) and every pixel of it is touched.
    void load(const Bytes& bytes, const std::string& ext, const std::string& what,
              std::optional<Size> want = std::nullopt) {
        const fs::path p = dir_ / ("case" + ext);
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const std::string s = p.string();
        Img img(load_image(std::u16string(s.begin(), s.end()).c_str()));
        if (!img) return;
        const uint32_t w = imgbuf_w(img.get()), h = imgbuf_h(img.get());
        if (want) {
            EXPECT_EQ(w, want->w) << what;
            EXPECT_EQ(h, want->h) << what;
        }
        if (w == 0) return;  // no pixels, whatever the height
        volatile float sink = 0;
        for (uint32_t y = 0; y < h; ++y) {
            const float* row = imgbuf_row(img.get(), y);
            ASSERT_NE(row, nullptr) << what;
            for (uint32_t i = 0; i < 4 * w; ++i) sink = sink + row[i];
        }
    }

    std::vector<fs::path> files_;
    fs::path dir_;
};

}  // namespace

TEST_F(HostileCorpus, ValidFilesLoad) {
    for (const auto& f : files_) {
        const std::string s = f.string();
        Img img(load_image(std::u16string(s.begin(), s.end()).c_str()));
        ASSERT_TRUE(img) << f;
        EXPECT_EQ(imgbuf_w(img.get()), 9u) << f;
        EXPECT_EQ(imgbuf_h(img.get()), 7u) << f;
    }
}

TEST_F(HostileCorpus, TruncatedAtEverySixteenth) {
    for (const auto& f : files_) {
        const Bytes full = read_file(f);
        for (size_t k = 0; k < 16; ++k) {
            const Bytes cut(full.begin(), full.begin() + static_cast<long>(full.size() * k / 16));
            load(cut, f.extension().string(), f.string() + " cut at " + std::to_string(k) + "/16",
                 Size{9, 7});
        }
    }
}

TEST_F(HostileCorpus, AbsurdWidthAndHeight) {
    const uint32_t values[] = {0, 1, 65535, 0x80000000u, 0xFFFFFFFFu};
    for (const auto& f : files_) {
        const Format fmt = format_of(f);
        const Bytes full = read_file(f);
        for (uint32_t v : values) {
            for (int which = 0; which < 3; ++which) {
                Bytes b = full;
                const Size stated =
                    set_size(fmt, b, which != 1 ? &v : nullptr, which != 0 ? &v : nullptr);
                load(b, f.extension().string(),
                     f.string() + " size field " + std::to_string(v) + " case " +
                         std::to_string(which),
                     stated);
            }
        }
    }
}

TEST_F(HostileCorpus, ForeignMagicInFront) {
    for (const auto& a : files_) {
        const Bytes head = read_file(a);
        for (const auto& b : files_) {
            if (format_of(a) == format_of(b)) continue;
            Bytes body = read_file(b);
            const size_t n =
                std::min({magic_len[static_cast<size_t>(format_of(a))], head.size(), body.size()});
            std::copy(head.begin(), head.begin() + static_cast<long>(n), body.begin());
            load(body, a.extension().string(), a.string() + " magic on " + b.string());
            load(body, b.extension().string(), a.string() + " magic on " + b.string());
        }
    }
}
