#include "load/jxr_container.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "common/checked_size.h"
#include "load/le_reader.h"

namespace rk {
namespace {

// Field types of the directory entries (TIFF's numbering) and their sizes.
enum FieldType : uint16_t {
    kByte = 1,
    kAscii = 2,
    kShort = 3,
    kLong = 4,
    kUndefined = 7,
    kFloat = 11,
};
constexpr std::array<uint8_t, 13> kTypeSize = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

constexpr uint32_t type_bit(uint16_t type) {
    return 1u << type;
}
constexpr uint32_t kShortOrLong = type_bit(kShort) | type_bit(kLong);

enum Tag : uint16_t {
    kPixelFormat = 0xBC01,
    kTransformation = 0xBC02,
    kImageType = 0xBC04,
    kImageWidth = 0xBC80,
    kImageHeight = 0xBC81,
    kWidthResolution = 0xBC82,
    kHeightResolution = 0xBC83,
    kImageOffset = 0xBCC0,
    kImageByteCount = 0xBCC1,
    kAlphaOffset = 0xBCC2,
    kAlphaByteCount = 0xBCC3,
    kExifIfd = 0x8769,
    kGpsIfd = 0x8825,
    kInteropIfd = 0xA005,
};

// Tags jxrlib interprets, and the image size entries: the types and count the
// container format gives them.
struct TagRule {
    uint16_t tag;
    uint32_t types;
    uint32_t count;
};
constexpr TagRule kRules[] = {
    {kPixelFormat, type_bit(kByte), 16},
    {kTransformation, type_bit(kByte) | kShortOrLong, 1},
    {kImageType, kShortOrLong, 1},
    {kImageWidth, kShortOrLong, 1},
    {kImageHeight, kShortOrLong, 1},
    {kWidthResolution, type_bit(kFloat), 1},
    {kHeightResolution, type_bit(kFloat), 1},
    {kImageOffset, kShortOrLong, 1},
    {kImageByteCount, kShortOrLong, 1},
    {kAlphaOffset, kShortOrLong, 1},
    {kAlphaByteCount, kShortOrLong, 1},
    {kExifIfd, type_bit(kLong), 1},
    {kGpsIfd, type_bit(kLong), 1},
    {kInteropIfd, type_bit(kLong), 1},
};

// Descriptive metadata that jxrlib copies into strings and arrays, asserting on
// the form it expects: NUL-terminated text, one short (ratings), two shorts (page
// number), or UTF-16 text as bytes ending in a NUL character (caption).
enum class MetaForm { none, text, one_short, two_shorts, utf16_bytes };

MetaForm descriptive_form(uint16_t t) {
    switch (t) {
        case 0x010D:  // document name
        case 0x010E:  // image description
        case 0x010F:  // camera make
        case 0x0110:  // camera model
        case 0x011D:  // page name
        case 0x0131:  // software
        case 0x0132:  // date and time
        case 0x013B:  // artist
        case 0x013C:  // host computer
        case 0x8298:  // copyright
            return MetaForm::text;
        case 0x4746:  // rating stars
        case 0x4749:  // rating value
            return MetaForm::one_short;
        case 0x0129:  // page number
            return MetaForm::two_shorts;
        case 0x9C9B:  // caption
            return MetaForm::utf16_bytes;
        default:
            return MetaForm::none;
    }
}

// jxrlib's orientations run from 0 to 7.
constexpr uint32_t kOrientations = 8;

// {6FDDC324-4E03-4BFE-B185-3D77768DC90C} as the file stores it.
constexpr std::array<uint8_t, 16> kBgr24 = {0x24, 0xC3, 0xDD, 0x6F, 0x03, 0x4E, 0xFE, 0x4B,
                                            0xB1, 0x85, 0x3D, 0x77, 0x76, 0x8D, 0xC9, 0x0C};

// Sub-directories jxrlib walks below the first one (EXIF, then interoperability),
// and the entries it may read in all directories together: enough for any real
// file, and a bound on the walk however the pointers are arranged.
constexpr int kMaxSubdirectoryDepth = 2;
constexpr uint32_t kMaxEntriesVisited = 1u << 16;

constexpr size_t kEntryBytes = 12;

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;
};

bool is_subdirectory(uint16_t t) {
    return t == kExifIfd || t == kGpsIfd || t == kInteropIfd;
}

class Checker {
  public:
    explicit Checker(ByteSource& file) : file_(file), size_(file.size()) {}

    JxrContainer run() {
        JxrContainer result;
        result.fault = verdict();
        if (result.fault == JxrFault::none) {
            result.width = width_;
            result.height = height_;
        }
        return result;
    }

  private:
    JxrFault verdict() {
        std::array<uint8_t, 8> head{};
        if (!file_.read(0, head)) return JxrFault::header;
        LeReader h(head);
        if (h.u8(0) != 'I' || h.u8(1) != 'I' || h.u8(2) != 0xBC || h.u8(3) > 1) {
            return JxrFault::header;
        }
        const uint32_t first = h.u32(4);
        if (first < head.size() || !inside(first, 2)) return JxrFault::header;

        if (const JxrFault f = directory(first, 0); f != JxrFault::none) return f;
        if (!pixel_format_seen_) return JxrFault::pixel_format;
        if (const JxrFault f = image_data(); f != JxrFault::none) return f;
        if (const JxrFault f = alpha_data(); f != JxrFault::none) return f;
        if (width_ == 0 || height_ == 0 || !within_pixel_limit(width_, height_)) {
            return JxrFault::image_size;
        }
        return JxrFault::none;
    }

    bool inside(uint64_t offset, uint64_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }

    JxrFault directory(uint32_t offset, int depth) {
        std::array<uint8_t, 2> count_bytes{};
        if (!file_.read(offset, count_bytes)) return JxrFault::directory;
        const uint32_t count = load_le16(count_bytes.data());
        // jxrlib refuses these counts for the first directory; no real file has
        // them in a sub-directory either.
        if (count == 0 || count == 0xFFFF) return JxrFault::directory;
        if (count > kMaxEntriesVisited - visited_) return JxrFault::directory;
        visited_ += count;
        if (!inside(offset + uint64_t{2}, uint64_t{count} * kEntryBytes)) {
            return JxrFault::directory;
        }
        for (uint32_t i = 0; i < count; ++i) {
            std::array<uint8_t, kEntryBytes> raw{};
            if (!file_.read(offset + 2 + uint64_t{i} * kEntryBytes, raw)) {
                return JxrFault::directory;
            }
            const Entry e{load_le16(raw.data()), load_le16(raw.data() + 2),
                          load_le32(raw.data() + 4), load_le32(raw.data() + 8)};
            const JxrFault f = depth == 0 ? first_entry(e) : sub_entry(e);
            if (f != JxrFault::none) return f;
            if (is_subdirectory(e.tag)) {
                if (depth == kMaxSubdirectoryDepth) return JxrFault::directory;
                if (const JxrFault s = directory(e.value, depth + 1); s != JxrFault::none) {
                    return s;
                }
            }
        }
        return JxrFault::none;
    }

    // Every entry of every directory: a known type, and data that is in the file.
    JxrFault any_entry(const Entry& e) const {
        if (e.type == 0 || e.type >= kTypeSize.size()) return JxrFault::entry;
        const uint64_t bytes = uint64_t{e.count} * kTypeSize[e.type];
        if (bytes > 4 && !inside(e.value, bytes)) return JxrFault::entry;
        return JxrFault::none;
    }

    JxrFault sub_entry(const Entry& e) const {
        if (const JxrFault f = any_entry(e); f != JxrFault::none) return f;
        if (is_subdirectory(e.tag) && (e.type != kLong || e.count != 1)) return JxrFault::tag;
        return JxrFault::none;
    }

    JxrFault first_entry(const Entry& e) {
        if (const JxrFault f = any_entry(e); f != JxrFault::none) return f;
        if (const MetaForm form = descriptive_form(e.tag); form != MetaForm::none) {
            return descriptive(e, form) ? JxrFault::none : JxrFault::tag;
        }
        for (const TagRule& r : kRules) {
            if (r.tag != e.tag) continue;
            if (!(r.types & type_bit(e.type)) || e.count != r.count) return JxrFault::tag;
            // jxrlib reads the whole value field whatever the type: a short must
            // leave the upper half clear so that both readings agree.
            if (e.type == kShort && e.value > 0xFFFF) return JxrFault::tag;
            if (e.type == kByte && e.count == 1 && e.value > 0xFF) return JxrFault::tag;
            return known(e);
        }
        return JxrFault::none;
    }

    bool descriptive(const Entry& e, MetaForm form) {
        switch (form) {
            case MetaForm::text:
                return e.type == kAscii && e.count >= 1 && data_ends_in_zeros(e, 1);
            case MetaForm::one_short:
                return e.type == kShort && e.count == 1;
            case MetaForm::two_shorts:
                return e.type == kShort && e.count == 2;
            case MetaForm::utf16_bytes:
                return (e.type == kByte || e.type == kUndefined) && e.count >= 2 &&
                       e.count % 2 == 0 && data_ends_in_zeros(e, 2);
            case MetaForm::none:
                break;
        }
        return false;
    }

    // The last n bytes of an entry's data (in its value field up to four bytes,
    // at its offset beyond) are zero. The data is known to be in the file.
    bool data_ends_in_zeros(const Entry& e, uint32_t n) {
        std::array<uint8_t, 4> last{};
        const std::span<uint8_t> want(last.data(), n);
        if (e.count <= 4) {
            std::array<uint8_t, 4> field{};
            for (size_t i = 0; i < field.size(); ++i)
                field[i] = static_cast<uint8_t>(e.value >> (8 * i));
            std::copy_n(field.begin() + (e.count - n), n, last.begin());
        } else if (!file_.read(uint64_t{e.value} + e.count - n, want)) {
            return false;
        }
        return std::all_of(want.begin(), want.end(), [](uint8_t b) { return b == 0; });
    }

    JxrFault known(const Entry& e) {
        switch (e.tag) {
            case kPixelFormat: {
                std::array<uint8_t, 16> guid{};
                if (!file_.read(e.value, guid) || guid != kBgr24) return JxrFault::pixel_format;
                pixel_format_seen_ = true;
                break;
            }
            case kTransformation:
                if (e.value >= kOrientations) return JxrFault::tag;
                break;
            case kImageWidth:
                width_ = e.value;
                break;
            case kImageHeight:
                height_ = e.value;
                break;
            case kImageOffset:
                image_offset_ = e.value;
                break;
            case kImageByteCount:
                image_bytes_ = e.value;
                break;
            case kAlphaOffset:
                alpha_offset_ = e.value;
                break;
            case kAlphaByteCount:
                alpha_bytes_ = e.value;
                break;
            default:
                break;
        }
        return JxrFault::none;
    }

    JxrFault image_data() {
        if (!image_offset_ || !image_bytes_ || *image_offset_ == 0 || *image_bytes_ == 0 ||
            !inside(*image_offset_, *image_bytes_)) {
            return JxrFault::image_data;
        }
        // The codestream header: its signature, then the output colour format and
        // bit depth in one byte (RGB = 7, 8 bits = 1) and, two bytes before, the
        // flag for an alpha plane inside the codestream.
        constexpr std::array<uint8_t, 8> kSignature = {'W', 'M', 'P', 'H', 'O', 'T', 'O', 0};
        std::array<uint8_t, 12> header{};
        if (*image_bytes_ < header.size() || !file_.read(*image_offset_, header)) {
            return JxrFault::codestream;
        }
        if (!std::equal(kSignature.begin(), kSignature.end(), header.begin())) {
            return JxrFault::codestream;
        }
        const bool alpha_plane = header[10] & 1;
        if (alpha_plane || header[11] != 0x71) return JxrFault::codestream;
        return JxrFault::none;
    }

    JxrFault alpha_data() const {
        if (!alpha_offset_ && !alpha_bytes_) return JxrFault::none;
        if (!alpha_offset_ || !alpha_bytes_ || *alpha_offset_ == 0 || *alpha_bytes_ == 0 ||
            !inside(*alpha_offset_, *alpha_bytes_)) {
            return JxrFault::alpha_data;
        }
        return JxrFault::none;
    }

    ByteSource& file_;
    const uint64_t size_;
    uint32_t visited_ = 0;
    bool pixel_format_seen_ = false;
    uint32_t width_ = 0, height_ = 0;
    std::optional<uint32_t> image_offset_, image_bytes_, alpha_offset_, alpha_bytes_;
};

}  // namespace

JxrContainer check_jxr_container(ByteSource& file) noexcept {
    return Checker(file).run();
}

}  // namespace rk
